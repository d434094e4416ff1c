// The test doubles: while a hook is empty, the call goes on to the real function (the stand-in, or
// the library's own); a test arms a hook with a lambda. The fixture empties every hook.
#ifndef PI_TESTS_SUPPORT_DOUBLES_H
#define PI_TESTS_SUPPORT_DOUBLES_H

#include <dlfcn.h>

#include <cstdint>
#include <functional>

#include "platform/img.h"
#include "platform/plugin_icf.h"
#include "platform/plugin_strings.h"
#include "platform/srg.h"

namespace test_support::doubles {

#define PI_DOUBLES(X)                                                                              \
    X(img_handle *, img_open, (const char *p, int32_t *s), (p, s))                                 \
    X(int32_t, img_close, (img_handle * h), (h))                                                   \
    X(uint32_t, img_extract_vendor_info, (img_handle * h, const char *p), (h, p))                  \
    X(uint32_t, srg_file_clone, (srg_record * b, const char *p, uint32_t n), (b, p, n))            \
    X(const char *, srg_sw_id_file_get, (const char *p), (p))                                      \
    X(uint32_t, srg_dependency_strings_get,                                                        \
      (const srg_record *r, uint32_t f, const sysmgr_strings **l), (r, f, l))                      \
    X(int32_t, plugin_syscall, (const char *c), (c))                                               \
    X(int, plugin_load_committed_patch, (void), ())                                                \
    X(int32_t, get_max_allowed_zell, (void), ())                                                   \
    X(uint32_t, plugin_icf_open, (const char *p, plugin_icf **h), (p, h))                          \
    X(uint32_t, plugin_icf_get_name, (plugin_icf * h, const char **n), (h, n))                     \
    X(uint32_t, plugin_icf_first_img_name, (plugin_icf * h, const char **n), (h, n))               \
    X(uint32_t, plugin_icf_close, (plugin_icf * h), (h))                                           \
    X(plugin_strings *, plugin_strings_malloc, (uint32_t s, uint32_t b), (s, b))                   \
    X(int32_t, plugin_strings_append, (plugin_strings * s, const char *t), (s, t))                 \
    X(std::type_identity_t<void (*)(int)>, signal, (int n, std::type_identity_t<void (*)(int)> h), \
      (n, h))                                                                                      \
    X(unsigned int, sleep, (unsigned int s), (s))                                                  \
    X(void, plugin_strings_free, (plugin_strings * s), (s))

#define PI_DOUBLE_HOOK(ret, name, params, args) extern std::function<ret params> name;
PI_DOUBLES(PI_DOUBLE_HOOK)
#undef PI_DOUBLE_HOOK

// The real function behind a double.
template <typename F>
F *real(const char *name) {
    return reinterpret_cast<F *>(::dlsym(RTLD_NEXT, name));
}
#define PI_REAL(name) (::test_support::doubles::real<decltype(::name)>(#name))

// Empties every hook.
void reset();

}  // namespace test_support::doubles

#endif
