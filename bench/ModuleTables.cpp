// What a GTK module keeps per item of a large folder, as the allocator counts it: the items held (with the object
// data each carries) and the badges known, for N items of one folder, each with a badge. Plain GObjects stand for
// the file manager's items; the folder's path is as long as the host benchmarks' ones.
//   vantorix-module-tables [N]     (default 10000)
#include "BadgeBoard.h"
#include "ShownItems.h"

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::size_t allocated() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void noInvalidation(GObject*) {}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::puts("usage: vantorix-module-tables [N]\n"
                  "What a GTK module's tables keep per item for N items of one folder (default 10000), counted by the allocator.");
        return 0;
    }
    char* end = nullptr;
    long count = argc > 1 ? std::strtol(argv[1], &end, 10) : 10000;
    if (argc > 2 || (argc > 1 && *end != '\0') || count <= 0) {
        std::fprintf(stderr, "vantorix-module-tables: N is a number of items above 0\n");
        return 2;
    }
    const std::string folder = "/tmp/vantorix-host-rest.XXXXXX/Vantorix/Many";
    std::vector<GObject*> items;
    std::vector<std::string> paths;
    for (long i = 1; i <= count; ++i) {
        items.push_back(G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr)));
        char name[32];
        std::snprintf(name, sizeof name, "/file-%05ld.txt", i);
        paths.push_back(folder + name);
    }
    std::size_t before = allocated();
    vantorix::gtk::ShownItems shown(noInvalidation);
    for (long i = 0; i < count; ++i) shown.remember(paths[i], items[i], "success");
    std::size_t held = allocated();
    vantorix::bridge::BadgeBoard board;
    board.setObserved({folder});
    for (long i = 0; i < count; ++i) board.setBadge(paths[i], "success");
    std::size_t known = allocated();
    auto report = [count](const char* what, std::size_t bytes) {
        std::printf("%-28s %8.0f bytes an item  %6.2f MB\n", what, static_cast<double>(bytes) / static_cast<double>(count), static_cast<double>(bytes) / 1e6);
    };
    std::printf("%ld items of one folder\n", count);
    report("the items held", held - before);
    report("the badges known", known - held);
    report("both", known - before);
    for (GObject* item : items) g_object_unref(item);
    return shown.size() == 0 ? 0 : 1;  // every item's end took it out
}
