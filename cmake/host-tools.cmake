# Cross builds: the tools (srgtool, mkplugin, ...) are programs the tests run
# as shell commands.  A program running under qemu-user cannot start another
# target program (that would need binfmt_misc on the build host), and mkplugin
# needs libarchive, which the cross sysroot does not have.  So the tools come
# from a host build (PI_HOST_TOOLS_DIR = its tools/ directory) as imported
# executables under their usual target names, and tools/ is not cross built.
# Records and images the host tools make are what the target reads in the
# field, too: they are made on a build host and read on the box.
#
# Included by the top-level CMakeLists.txt in place of tools/.

foreach(tool srgtool mkplugin pluginctl sandbox-run)
  if(EXISTS ${PI_HOST_TOOLS_DIR}/${tool} AND NOT TARGET ${tool})
    add_executable(${tool} IMPORTED GLOBAL)
    set_target_properties(${tool} PROPERTIES IMPORTED_LOCATION ${PI_HOST_TOOLS_DIR}/${tool})
  endif()
endforeach()
