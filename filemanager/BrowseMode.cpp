#include "BrowseMode.h"

#include "ProgramExit.h"
#include "FileManagerModel.h"
#include "VantorixFinderSync.h"
#include "ExtensionEntryPoint.h"
#include "protocol/Badges.h"
#include "protocol/Paths.h"
#include "platforms/posix/PosixPlatform.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <curses.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantorix::finder {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Glyph {
    const char* text;
    short colour;
};

// Whether the terminal takes UTF-8; otherwise the glyphs are plain ASCII.
bool unicodeGlyphs = true;

// The glyph of a badge word; no badge is a dim dot. A terminal's colour numbers are curses' own.
Glyph glyphOf(const std::string& badge) {
    for (const auto& row : kBadgeCatalogue) {
        // The catalogue's glyphs are string literals: their views end in a NUL.
        if (badge == row.identifier) return {(unicodeGlyphs ? row.glyph : row.asciiGlyph).data(), static_cast<short>(row.terminalColour)};
    }
    return {unicodeGlyphs ? "\u00b7" : ".", 0};
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct Entry {
    std::string name;
    bool directory;
};

// What the view shows; touched on the main thread only.
class Browser {
public:
    Browser(posix::PosixPlatform& platform, session::FileManagerModel& standIn, std::shared_ptr<VantorixFinderSync> extension)
        : platform_(platform), standIn_(standIn), extension_(std::move(extension)), started_(Clock::now()) {}

    void open(const std::string& directory) {
        if (!current_.empty()) standIn_.hide(current_);
        current_ = session::absolutePath(directory);
        lastChange_.reset();  // only badges of this folder, from now on, count towards settling
        standIn_.show(current_);
        cursor_ = 0;
        top_ = 0;
        relist();
        dirty_ = true;
    }
    const std::string& current() const { return current_; }
    void badgeChanged(const std::string& path) {
        if (current_.empty() || !isInsideFolder(path, current_)) return;
        lastChange_ = Clock::now();
        dirty_ = true;
    }

    // The plain listing, for output without a terminal.
    std::string listing() {
        relist();
        auto registered = standIn_.registeredBadges();
        std::string text = current_ + "\n";
        for (const auto& entry : entries_) {
            std::string badge = standIn_.badgeOf(current_ + "/" + entry.name);
            std::string label = registered.count(badge) ? registered[badge].label : (badge.empty() ? "-" : badge);
            char line[64];
            std::snprintf(line, sizeof line, "  %s %-10s ", glyphOf(badge).text, label.c_str());
            text += line + entry.name + (entry.directory ? "/" : "") + "\n";
        }
        return text;
    }

    // Without a terminal: the listing is ready when the badges have not changed for 1 s, or 10 s after start.
    bool settled() const {
        auto now = Clock::now();
        if (now - started_ >= 10s) return true;
        return standIn_.isObserved(current_) && lastChange_ && now - *lastChange_ >= 1s;
    }

    // One step of the live view: keys, then a redraw when something changed. Returns false to quit.
    bool step() {
        for (int key; (key = getch()) != ERR;) {
            switch (key) {
            case 'q':
            case 'Q':
                return false;
            case KEY_UP:
            case 'k':
                if (cursor_ > 0) --cursor_;
                break;
            case KEY_DOWN:
            case 'j':
                if (cursor_ + 1 < entries_.size()) ++cursor_;
                break;
            case KEY_PPAGE: cursor_ -= std::min<std::size_t>(cursor_, static_cast<std::size_t>(std::max(1, LINES - 4))); break;
            case KEY_NPAGE:
                cursor_ = std::min(entries_.size() ? entries_.size() - 1 : 0, cursor_ + static_cast<std::size_t>(std::max(1, LINES - 4)));
                break;
            case KEY_RIGHT:
            case '\n':
            case KEY_ENTER:
            case 'l':
                if (cursor_ < entries_.size() && entries_[cursor_].directory) open(current_ + "/" + entries_[cursor_].name);
                break;
            case KEY_LEFT:
            case KEY_BACKSPACE:
            case 127:
            case 'h':
            case 'u':
                if (current_ != "/") open(current_.substr(0, std::max<std::size_t>(1, current_.rfind('/'))));
                break;
            case KEY_RESIZE: break;
            default: continue;
            }
            dirty_ = true;
        }
        auto now = Clock::now();
        if (now - listedAt_ >= 1s) relist();
        bool waiting = extension_->isWaitingForLocalService();
        if (waiting != waiting_) {
            waiting_ = waiting;
            dirty_ = true;
        }
        if (dirty_ || now - drawnAt_ >= 1s) draw();
        return true;
    }

private:
    void relist() {
        listedAt_ = Clock::now();
        auto names = platform_.contentsOfDirectory(current_);
        std::vector<Entry> entries;
        if (names) {
            for (const auto& name : *names) entries.push_back({name, isDirectory(current_ + "/" + name)});
        }
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            return a.directory != b.directory ? a.directory : a.name < b.name;
        });
        if (entries.size() != entries_.size()) dirty_ = true;
        entries_ = std::move(entries);
        if (cursor_ >= entries_.size()) cursor_ = entries_.empty() ? 0 : entries_.size() - 1;
    }

    void draw() {
        dirty_ = false;
        drawnAt_ = Clock::now();
        auto registered = standIn_.registeredBadges();
        erase();
        int rows = std::max(1, LINES - 3);
        if (cursor_ < top_) top_ = cursor_;
        if (cursor_ >= top_ + static_cast<std::size_t>(rows)) top_ = cursor_ - static_cast<std::size_t>(rows) + 1;
        attron(A_BOLD);
        mvaddnstr(0, 0, current_.c_str(), COLS);
        attroff(A_BOLD);
        for (int row = 0; row < rows && top_ + static_cast<std::size_t>(row) < entries_.size(); ++row) {
            const Entry& entry = entries_[top_ + static_cast<std::size_t>(row)];
            std::string badge = standIn_.badgeOf(current_ + "/" + entry.name);
            Glyph glyph = glyphOf(badge);
            bool selected = top_ + static_cast<std::size_t>(row) == cursor_;
            if (selected) attron(A_REVERSE);
            move(row + 1, 0);
            addstr("  ");
            if (glyph.colour != 0) attron(COLOR_PAIR(glyph.colour) | A_BOLD);
            addstr(glyph.text);
            if (glyph.colour != 0) attroff(COLOR_PAIR(glyph.colour) | A_BOLD);
            std::string label = registered.count(badge) ? registered[badge].label : "";
            char column[32];
            std::snprintf(column, sizeof column, " %-10s ", label.c_str());
            addstr(column);
            addnstr((entry.name + (entry.directory ? "/" : "")).c_str(), std::max(0, COLS - 16));
            if (selected) attroff(A_REVERSE);
        }
        std::string status = waiting_ ? "waiting for the local service on 127.0.0.1:27835 ..." : "local service connected";
        if (!standIn_.isObserved(current_)) status += "  (outside the sync folder: no badges)";
        mvaddnstr(LINES - 2, 0, status.c_str(), COLS);
        attron(A_DIM);
        mvaddnstr(LINES - 1, 0, "Enter/Right: open   Left/Backspace: up   Up/Down: move   q: quit", COLS);
        attroff(A_DIM);
        refresh();
    }

    posix::PosixPlatform& platform_;
    session::FileManagerModel& standIn_;
    std::shared_ptr<VantorixFinderSync> extension_;
    Clock::time_point started_;
    std::string current_;
    std::vector<Entry> entries_;
    std::size_t cursor_ = 0;
    std::size_t top_ = 0;
    bool dirty_ = true;
    bool waiting_ = false;
    std::optional<Clock::time_point> lastChange_;
    Clock::time_point listedAt_{};
    Clock::time_point drawnAt_{};
};

}  // namespace

int runBrowse(const std::string& directory) {
    auto& platform = posix::PosixPlatform::process();
    bool terminal = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
    Browser* browser = nullptr;
    std::optional<std::string> declaredFolder;
    session::FileManagerModel standIn(platform, [&](const host::BoundaryCall& call) {
        // Calls come on the main thread, but for badge registration at start.
        if (call.call == host::Call::setBadgeIdentifier && browser != nullptr) browser->badgeChanged(call.path);
        if (call.call == host::Call::setDirectoryURLs && !call.folders.empty() && !declaredFolder) declaredFolder = call.folders.front();
    });
    platform.setFinderSyncController(&standIn);
    std::string error;
    auto extension = std::dynamic_pointer_cast<VantorixFinderSync>(extensionMain(platform, platform.resourceDirectory() + "/Info.plist", error));
    if (!extension) {
        std::fprintf(stderr, "vantorix-finder: %s\n", error.empty() ? "the principal class is not the sync extension" : error.c_str());
        return 1;
    }
    standIn.attach(extension);
    Browser view(platform, standIn, extension);
    browser = &view;
    if (!directory.empty()) view.open(directory);

    if (terminal) {
        // The glyphs need a UTF-8 locale; without one in the environment, C.UTF-8 serves, or ASCII does.
        std::setlocale(LC_ALL, "");
        if (std::string(nl_langinfo(CODESET)) != "UTF-8" && std::setlocale(LC_ALL, "C.UTF-8") == nullptr) unicodeGlyphs = false;
        unicodeGlyphs = unicodeGlyphs && std::string(nl_langinfo(CODESET)) == "UTF-8";
        initscr();
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        nodelay(stdscr, TRUE);
        curs_set(0);
        if (has_colors()) {
            start_color();
            use_default_colors();
            for (const auto& row : kBadgeCatalogue) init_pair(row.terminalColour, row.terminalColour, -1);
        }
    }
    std::string output;
    auto timer = platform.scheduleTimer(50ms, true, [&](Timer&) {
        if (view.current().empty() && declaredFolder) view.open(*declaredFolder);
        if (terminal) {
            if (!view.step()) platform.stopMainLoop();
        } else if (view.settled() && !view.current().empty()) {
            output = view.listing();
            platform.stopMainLoop();
        } else if (view.settled() && view.current().empty()) {
            output = "no folder to show: the local service did not name a sync folder within 10 s\n";
            platform.stopMainLoop();
        }
    });
    platform.runMainLoop();
    timer->invalidate();
    if (terminal) endwin();
    std::fputs(output.c_str(), stdout);
    session::endProgram(0);
}

}  // namespace vantorix::finder
