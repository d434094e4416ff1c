// PI_EXPORT marks a name that leaves its shared library; everything else is
// hidden by the build's default visibility.  The library and the platform
// stand-ins use the same mark.
#ifndef PI_FRAME_EXPORT_H
#define PI_FRAME_EXPORT_H

#define PI_EXPORT __attribute__((visibility("default")))

#endif
