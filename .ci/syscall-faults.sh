#!/bin/sh
# Every file-changing system call of the library's operations failed, then killed, in turn (make syscall-faults).
exec make -C "$(dirname "$0")/.." syscall-faults JOBS="${JOBS:-2}"
