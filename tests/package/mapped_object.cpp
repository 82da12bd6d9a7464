// Prints the path of every object mapped into this process whose file name
// is NAME, and exits 1 when there is none. Run under tarvex-vprobe --fast,
// it shows which fast preload library the launcher chose.
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

static bool ends_with(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: mapped_object NAME\n");
        return 2;
    }
    std::ifstream maps("/proc/self/maps");
    std::set<std::string> paths;
    std::string line;
    while (std::getline(maps, line)) {
        size_t slash = line.find('/');
        if (slash != std::string::npos && ends_with(line, std::string("/") + argv[1]))
            paths.insert(line.substr(slash));
    }
    for (const std::string &path : paths)
        printf("%s\n", path.c_str());
    return paths.empty() ? 1 : 0;
}
