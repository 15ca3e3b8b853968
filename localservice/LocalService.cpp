#include "LocalService.h"

#include "protocol/Wire.h"
#include "protocol/Utf8.h"

#include <filesystem>

namespace vantorix::localservice {

LocalService::LocalService(StatusRules rules, bool simulate, unsigned seed, NotificationCenter* notifier)
    : rules_(std::move(rules)), simulate_(simulate), random_(seed), notifier_(notifier) {}

std::string LocalService::statusOf(const std::string& path) const {
    auto overlay = overlays_.find(path);
    if (overlay != overlays_.end()) return overlay->second.code;
    return rules_.statusOf(path);
}

void LocalService::remember(const std::string& path, const std::string& code) {
    auto [it, added] = told_.insert_or_assign(path, code);
    if (!added) return;
    toldOrder_.push_back(path);
    if (toldOrder_.size() > kRememberedPaths) {
        std::size_t drop = toldOrder_.size() - kRememberedPaths;
        for (std::size_t i = 0; i < drop; ++i) told_.erase(toldOrder_[i]);
        toldOrder_.erase(toldOrder_.begin(), toldOrder_.begin() + static_cast<std::ptrdiff_t>(drop));
    }
}

std::string LocalService::answer(const std::string& line) {
    ParsedRequest request = parseRequestLine(line);
    if (request.kind == RequestKind::ping) return std::string(kPongWord) + "\n";
    if (request.kind == RequestKind::syncPath) {
        // The client reads one line of at most 1024 bytes and takes it as UTF-8: a path that would not arrive
        // whole and readable is refused rather than cut.
        if (rules_.root().size() + 1 > kSyncPathAnswerLimit) return "ERROR: sync folder path too long\n";
        if (!isValidUtf8(rules_.root())) return "ERROR: sync folder path is not UTF-8\n";
        return rules_.root() + "\n";
    }
    if (request.kind == RequestKind::batchStatus) {
        // One code per non-empty piece, in order, joined by "|". The client reads at most 8192 bytes: an answer
        // that would not fit is refused, and its paths are not taken as told. Every code takes at least one byte
        // and its separator or line feed another, so more pieces than half the limit never fit.
        std::vector<std::string> paths = splitOnSeparator(request.paths);
        if (paths.size() > kBatchAnswerLimit / 2) return std::string(kTooManyPathsAnswer);
        std::vector<std::string> codes;
        codes.reserve(paths.size());
        for (const auto& path : paths) codes.push_back(statusOf(path));
        std::string answer = joinPaths(codes) + "\n";
        if (answer.size() > kBatchAnswerLimit) return std::string(kTooManyPathsAnswer);
        for (std::size_t i = 0; i < paths.size(); ++i) remember(paths[i], codes[i]);
        return answer;
    }
    if (!isValidUtf8(line)) return "ERROR: malformed request\n";
    return "ERROR: unknown request\n";
}

std::vector<std::string> LocalService::listFiles() {
    std::vector<std::string> files;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(rules_.root(), std::filesystem::directory_options::skip_permission_denied, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file(error)) files.push_back(it->path().string());
        if (files.size() >= 5000) break;
    }
    return files;
}

void LocalService::simulate(Clock::time_point now) {
    if (now - filesListedAt_ > std::chrono::seconds(10)) {
        files_ = listFiles();
        filesListedAt_ = now;
    }
    std::erase_if(overlays_, [&](const auto& entry) { return entry.second.until <= now; });
    if (files_.empty() || overlays_.size() >= 4) return;
    std::uniform_real_distribution<double> chance(0, 1);
    if (chance(random_) > 0.35) return;
    // Only synced files take part, so that the other statuses of the rules stay in view.
    const std::string& file = files_[std::uniform_int_distribution<std::size_t>(0, files_.size() - 1)(random_)];
    if (overlays_.count(file) != 0 || rules_.statusOf(file) != "0") return;
    bool error = chance(random_) < 0.15;
    auto lasts = std::chrono::milliseconds(std::uniform_int_distribution<int>(error ? 4000 : 2000, error ? 8000 : 5000)(random_));
    overlays_[file] = {error ? "3" : "1", now + lasts};
}

void LocalService::tick(Clock::time_point now) {
    bool rulesChanged = rules_.reloadIfChanged();
    std::vector<std::string> candidates;
    if (simulate_) {
        for (const auto& entry : overlays_) candidates.push_back(entry.first);
        simulate(now);
        for (const auto& entry : overlays_) candidates.push_back(entry.first);
    }
    if (rulesChanged) {
        for (const auto& entry : told_) candidates.push_back(entry.first);
    }

    PropertyValue::Array paths;
    PropertyValue::Array states;
    for (const auto& path : candidates) {
        std::string code = statusOf(path);
        auto known = told_.find(path);
        if (known != told_.end() && known->second == code) continue;
        if (known == told_.end() && code == rules_.statusOf(path)) continue;  // never told, and nothing new
        remember(path, code);
        if (changed_) changed_(path, code);
        paths.push_back(PropertyValue(path));
        states.push_back(PropertyValue(PropertyValue::Dictionary{{"path", path}, {"state", code}}));
    }
    if (paths.empty() || notifier_ == nullptr) return;
    notifier_->post("VantorixStatusChanged", "com.vantorix.localservice",
                    PropertyValue(PropertyValue::Dictionary{{"paths", std::move(paths)}, {"sync_state", std::move(states)}}));
}

}  // namespace vantorix::localservice
