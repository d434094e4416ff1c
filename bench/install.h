// The installer's benchmark (install.cc).
#ifndef PI_BENCH_INSTALL_H
#define PI_BENCH_INSTALL_H

#include <string>

namespace bench {

struct InstallBar {
    std::string what, measured;
    bool met;
};
// Prints the table; returns the bar.  tools: the directory of mkplugin and pluginctl.
InstallBar bench_install(const std::string &tools, int reps, bool quick);

}  // namespace bench

#endif
