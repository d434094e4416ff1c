// Bare loops of the essential system calls of linking and unlinking.
#ifndef PI_BENCH_FLOOR_H
#define PI_BENCH_FLOOR_H

namespace bench {

// Links the manifest's entries of the plugin at plugin into "/": pass 1
// lstat of the source and stat of the link name, pass 2 lstat and
// mkdir/readlink/symlink.  Returns the number of calls that failed (-1 when
// the manifest cannot be opened).
int floor_link(const char *manifest, const char *plugin);

// Unlinks them: pass 1 lstat, readlink, the line written (to fd 2), remove;
// pass 2 stat and remove of directories.  Same result convention.
int floor_unlink(const char *manifest, const char *plugin);

}  // namespace bench

#endif
