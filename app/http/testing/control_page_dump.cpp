// Writes the control page of every provider to <dir>/<raw value>.html, for the browser test.
#include "app/http/control_page.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output dir>\n", argv[0]);
        return 2;
    }
    for (auto provider : pavonix::allPresentationProviders) {
        const std::string path = std::string(argv[1]) + "/" + std::string(pavonix::rawValue(provider)) + ".html";
        std::ofstream out(path, std::ios::binary);
        out << pavonix::http::controlPageHTML(provider);
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
