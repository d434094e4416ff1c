// The allocation-failure sweep: for every operation that allocates, and for
// each n from 1 until the call runs without a failure, the n-th allocation
// of the call fails.  Each failing run must give one of the operation's
// documented codes, leave its out-parameters as documented and leave no
// descriptor open; leaks are caught by the sanitizer and valgrind runs of
// this same test.  The number of failures injected is printed per operation.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/img.h"
#include "platform/plugin_strings.h"
#include "platform/srg.h"
#include "tests/reliability/weak_ops.h"
#include "tests/support/fixture.h"

namespace {

namespace faults = pit::faults;

const std::string kFixtures = PI_FIXTURES;

int lowest_free_fd() {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    return fd;
}

bool one_of(uint32_t rc, std::initializer_list<uint32_t> codes) {
    for (uint32_t c : codes)
        if (rc == c) return true;
    return false;
}

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

int sh(const std::string &command) { return std::system(command.c_str()); }

// One operation under the sweep.  setup runs before the failure is armed
// (its allocations are not counted); op makes the call; failed() tells
// whether the call reported a failure; on_failure(n) checks a reported
// failure, on_success() the state after a call that succeeded - the clean
// run and also runs whose injected failure was absorbed (by the C library's
// stdio, or by a step whose outcome the contract ignores).
struct Sweep {
    std::function<void()> setup = [] {};
    std::function<void()> op;
    std::function<bool()> failed;
    std::function<void(long)> on_failure;
    std::function<void()> on_success;
};

struct Count {
    long injected = 0;  // runs with a failure injected
    long absorbed = 0;  // of those, runs in which the call still succeeded
};

// For n = 1, 2, ... the n-th allocation of the call fails, until a run in
// which no failure fired.  The operations' output is captured and dropped.
Count sweep(const Sweep &s) {
    Count count;
    for (long n = 1; n < 100000; ++n) {
        s.setup();
        if (::testing::Test::HasFatalFailure()) return count;
        int fd = lowest_free_fd();
        bool hit;
        {
            pit::Capture quiet;
            faults::fail_nth(n);
            s.op();
            hit = faults::fired();
            faults::disarm();
        }
        EXPECT_EQ(lowest_free_fd(), fd) << "a descriptor was left open at n=" << n;
        if (hit) ++count.injected;
        if (hit && s.failed()) {
            s.on_failure(n);
        } else {
            EXPECT_FALSE(s.failed()) << "the call failed without an injected failure";
            if (hit) ++count.absorbed;
            s.on_success();
        }
        if (::testing::Test::HasFatalFailure() || !hit) return count;
    }
    ADD_FAILURE() << "the operation never ran without a failure";
    return count;
}

srg_record *load_record(const std::string &path) {
    uint32_t n = srg_file_size(path.c_str());
    if (n == 0) return nullptr;
    auto *rec = static_cast<srg_record *>(std::malloc(n));
    if (rec && srg_file_clone(rec, path.c_str(), n) != 0) {
        std::free(rec);
        rec = nullptr;
    }
    return rec;
}

struct Op {
    const char *name;
    bool present;
    std::function<Count()> run;
};

class AllocSweepTest : public pit::SandboxTest {};

TEST_F(AllocSweepTest, EveryAllocatingOperationFailsCleanlyAtEveryAllocation) {
    const std::string sro = kFixtures + "/plug-a.sro";
    const std::string img = kFixtures + "/plug-a.img";
    srg_record *const kUntouchedRecord = reinterpret_cast<srg_record *>(0x5a5a);
    srg_record *record = load_record(sro);  // plug-a.1, depends on base and lib-x.2
    ASSERT_NE(record, nullptr);
    uint32_t rc = 0;
    auto code = [&] { return rc != 0; };
    auto hex = [&](long n) {
        char text[48];
        std::snprintf(text, sizeof text, "rc=0x%x at n=%ld", rc, n);
        return std::string(text);
    };
    auto extracted = [&] {
        sh("rm -rf /velm/plugin/1 /usr/bin/hello /etc/plug.conf && mkdir -p /velm/plugin/1 && tar -xvzf " + img +
           " -C /velm/plugin/1 > /velm/1.log");
    };

    std::vector<Op> ops = {
        {"plugin_swid_map_alloc", op_present(plugin_swid_map_alloc), [&] {
             plugin_swid_map *map = nullptr;
             return sweep({[] {}, [&] { map = plugin_swid_map_alloc(8, 128); }, [&] { return map == nullptr; },
                           [](long) {}, [&] { plugin_swid_map_free(map); }});
         }},
        {"plugin_swid_map_append (growing)", op_present(plugin_swid_map_append), [&] {
             plugin_swid_map *map = nullptr, *before = nullptr;
             int32_t id = 0;
             return sweep({[&] {
                               map = plugin_swid_map_alloc(1, 8);
                               ASSERT_NE(map, nullptr);
                               ASSERT_EQ(plugin_swid_map_append(&map, "base"), 0);
                               before = map;
                           },
                           [&] { id = plugin_swid_map_append(&map, "plug-a.1"); }, [&] { return id == -1; },
                           [&](long n) {
                               EXPECT_EQ(map, before) << "n=" << n;
                               EXPECT_EQ(plugin_swid_map_next_avail(map), 1);
                               EXPECT_STREQ(plugin_swid_map_get_swid(map, 0), "base");
                               plugin_swid_map_free(map);
                           },
                           [&] {
                               EXPECT_EQ(id, 1);
                               EXPECT_STREQ(plugin_swid_map_get_swid(map, 1), "plug-a.1");
                               plugin_swid_map_free(map);
                           }});
         }},
        {"plugin_read_swid_map", op_present(plugin_read_swid_map) && op_present(plugin_write_swid_map), [&] {
             plugin_swid_map *src = plugin_swid_map_alloc(4, 64);
             plugin_swid_map_append(&src, "base");
             EXPECT_EQ(plugin_write_swid_map("/tmp/swid_map", src), 0u);
             plugin_swid_map_free(src);
             plugin_swid_map *map = nullptr;
             return sweep({[&] { map = reinterpret_cast<plugin_swid_map *>(0x1); },
                           [&] { rc = plugin_read_swid_map("/tmp/swid_map", &map); }, code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_NOMEM, PLUGIN_ERR_OPEN, PLUGIN_ERR_READ})) << hex(n);
                               EXPECT_EQ(map, nullptr) << hex(n);
                           },
                           [&] {
                               EXPECT_STREQ(plugin_swid_map_get_swid(map, 0), "base");
                               plugin_swid_map_free(map);
                           }});
         }},
        {"plugin_write_swid_map", op_present(plugin_write_swid_map), [&] {
             plugin_swid_map *map = plugin_swid_map_alloc(4, 64);
             plugin_swid_map_append(&map, "base");
             Count c = sweep({[&] { ::unlink("/tmp/swid_map.w"); },
                              [&] { rc = plugin_write_swid_map("/tmp/swid_map.w", map); }, code,
                              [&](long n) { EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_OPEN, PLUGIN_ERR_WRITE})) << hex(n); },
                              [&] {
                                  EXPECT_EQ(pit::read_file("/tmp/swid_map.w").size(),
                                            static_cast<std::size_t>(plugin_swid_map_size(map)));
                              }});
             plugin_swid_map_free(map);
             return c;
         }},
        {"plugin_find_load_order", op_present(plugin_find_load_order), [&] {
             uint32_t order[1] = {77};
             return sweep({[&] { order[0] = 77; }, [&] { rc = plugin_find_load_order(1, &record, order); }, code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_FAILED, PLUGIN_ERR_NOMEM})) << hex(n);
                               if (rc == PLUGIN_ERR_FAILED) {
                                   EXPECT_EQ(order[0], 77u) << hex(n);
                               }
                           },
                           [&] { EXPECT_EQ(order[0], 0u); }});
         }},
        {"plugin_find_unload_order", op_present(plugin_find_unload_order), [&] {
             uint32_t order[1] = {77};
             return sweep({[&] { order[0] = 77; }, [&] { rc = plugin_find_unload_order(1, &record, order); }, code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_FAILED, PLUGIN_ERR_NOMEM})) << hex(n);
                           },
                           [&] { EXPECT_EQ(order[0], 0u); }});
         }},
        {"plugin_rmdir", op_present(plugin_rmdir), [&] {
             return sweep({[] { ::mkdir("/tmp/gone", 0755); }, [&] { rc = plugin_rmdir("/tmp/gone"); }, code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_NOMEM, PLUGIN_ERR_FAILED})) << hex(n);
                               EXPECT_TRUE(exists("/tmp/gone")) << hex(n);
                           },
                           [&] { EXPECT_FALSE(exists("/tmp/gone")); }});
         }},
        {"plugin_clone_srg", op_present(plugin_clone_srg), [&] {
             srg_record *rec = nullptr;
             return sweep({[&] { rec = kUntouchedRecord; }, [&] { rc = plugin_clone_srg(sro.c_str(), &rec); }, code,
                           [&](long n) {
                               // The size check of the record library allocates
                               // too: its failure reads as an empty record file.
                               if (rc == PLUGIN_ERR_SRG_EMPTY) {
                                   EXPECT_EQ(rec, kUntouchedRecord) << hex(n);
                               } else {
                                   EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_NOMEM, SRG_ERR_NOMEM, SRG_ERR_OPEN, SRG_ERR_READ}))
                                       << hex(n);
                                   EXPECT_EQ(rec, nullptr) << hex(n);
                               }
                           },
                           [&] {
                               EXPECT_STREQ(srg_sw_id_get(rec), "plug-a.1");
                               std::free(rec);
                           }});
         }},
        {"plugin_extract_srg", op_present(plugin_extract_srg), [&] {
             srg_record *rec = nullptr;
             return sweep({[&] { rec = kUntouchedRecord; }, [&] { rc = plugin_extract_srg(img.c_str(), &rec); }, code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_IMG_OPEN, IMG_ERR_NOMEM, IMG_ERR_OPEN, IMG_ERR_WRITE,
                                                       PLUGIN_ERR_NOMEM, PLUGIN_ERR_SRG_EMPTY, SRG_ERR_NOMEM,
                                                       SRG_ERR_OPEN, SRG_ERR_READ}))
                                   << hex(n);
                               EXPECT_TRUE(rec == nullptr || rec == kUntouchedRecord) << hex(n);
                           },
                           [&] {
                               EXPECT_STREQ(srg_sw_id_get(rec), "plug-a.1");
                               std::free(rec);
                           }});
         }},
        {"plugin_cleanup_sro", op_present(plugin_cleanup_sro) && op_present(plugin_save_sro), [&] {
             return sweep({[&] {
                               sh("rm -rf /velm/plugin /velm/plugin_srg && mkdir -p /velm/plugin/3 /velm/plugin_srg");
                               pit::Capture quiet;
                               ASSERT_EQ(plugin_save_sro(3, record), 0u);
                           },
                           [&] { rc = plugin_cleanup_sro(3); }, code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_NOMEM, PLUGIN_ERR_FAILED})) << hex(n);
                               EXPECT_TRUE(exists("/velm/plugin/3/plugin.sro")) << hex(n);
                           },
                           [&] { EXPECT_FALSE(exists("/velm/plugin/3/plugin.sro")); }});
         }},
        {"plugin_extract_image", op_present(plugin_extract_image), [&] {
             return sweep({[&] { sh("rm -rf /velm/plugin/1 /velm/1.log && mkdir -p /velm/plugin/1"); },
                           [&] { rc = plugin_extract_image(img.c_str(), "/velm/plugin/1", "/velm/1.log"); }, code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_NOMEM, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_EXTRACT}))
                                   << hex(n);
                               EXPECT_FALSE(exists("/velm/plugin/1/usr")) << hex(n);
                           },
                           [&] {
                               EXPECT_EQ(pit::read_file("/velm/plugin/1/usr/bin/hello"), "hello from the build host\n");
                           }});
         }},
        {"plugin_do_newer_fs", op_present(plugin_do_newer_fs), [&] {
             // Nothing is reported to the caller: every run with a failure
             // counts as failed, and only descriptors and leaks are checked.
             return sweep({[&] {
                               pit::set_cmdline("console=ttyS0 use_newer_fs=yes\n");
                               sh("rm -rf /velm/plugin/1 /bootflash/plug-a.img-newer-fs && mkdir -p /velm/plugin/1 "
                                  "/bootflash/plug-a.img-newer-fs/usr/bin && echo new > "
                                  "/bootflash/plug-a.img-newer-fs/usr/bin/new && printf './\\n' > /velm/1.log");
                           },
                           [&] { plugin_do_newer_fs(img.c_str(), "/velm/1.log", "/velm/plugin/1"); },
                           [] { return faults::fired(); }, [](long) {},
                           [&] {
                               EXPECT_EQ(pit::read_file("/velm/plugin/1/usr/bin/new"), "new\n");
                               EXPECT_NE(pit::read_file("/velm/1.log").find("usr/bin/new"), std::string::npos);
                           }});
         }},
        {"plugin_extract_plugin_from_velm_image", op_present(plugin_extract_plugin_from_velm_image), [&] {
             return sweep({[&] {
                               sh("mkdir -p /var/sysmgr/ftp/img-sync && cp " + img +
                                  " /var/sysmgr/ftp/img-sync/curr-velm.img && rm -f /etc/plug.conf /tmp/velm.log");
                           },
                           [&] { rc = plugin_extract_plugin_from_velm_image("/etc/plug.conf", "/tmp/velm.log"); },
                           code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_NOMEM, PLUGIN_ERR_IMG_OPEN, PLUGIN_ERR_EXTRACT}))
                                   << hex(n);
                               EXPECT_FALSE(exists("/etc/plug.conf")) << hex(n);
                           },
                           [&] { EXPECT_EQ(pit::read_file("/etc/plug.conf"), "x=1\n"); }});
         }},
        {"plugin_link_to_exec_path", op_present(plugin_link_to_exec_path), [&] {
             return sweep({extracted, [&] { rc = plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); },
                           code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_NOMEM, PLUGIN_ERR_OPEN, PLUGIN_ERR_STAT,
                                                       PLUGIN_ERR_MKDIR, PLUGIN_ERR_LINK}))
                                   << hex(n);
                               // Links made before the failure are undone.
                               EXPECT_FALSE(exists("/usr/bin/hello")) << hex(n);
                               EXPECT_FALSE(exists("/etc/plug.conf")) << hex(n);
                           },
                           [&] {
                               EXPECT_EQ(pit::read_file("/usr/bin/hello"), "hello from the build host\n");
                               EXPECT_EQ(pit::read_file("/etc/plug.conf"), "x=1\n");
                           }});
         }},
        {"plugin_unlink_from_exec_path", op_present(plugin_unlink_from_exec_path), [&] {
             return sweep({[&] {
                               extracted();
                               pit::Capture quiet;
                               ASSERT_EQ(plugin_link_to_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"), 0u);
                           },
                           [&] { rc = plugin_unlink_from_exec_path("/velm/1.log", nullptr, "/velm/plugin/1"); },
                           code,
                           [&](long n) {
                               EXPECT_TRUE(one_of(rc, {PLUGIN_ERR_NOMEM, PLUGIN_ERR_OPEN})) << hex(n);
                           },
                           [&] {
                               EXPECT_FALSE(exists("/usr/bin/hello"));
                               EXPECT_FALSE(exists("/etc/plug.conf"));
                           }});
         }},
        {"plugin_from_cmdline", op_present(plugin_from_cmdline), [&] {
             int32_t *out = nullptr;
             int32_t count = 0;
             return sweep({[&] { out = reinterpret_cast<int32_t *>(0x1); },
                           [&] { count = plugin_from_cmdline("3,4+5", &out, 1); }, [&] { return count == 0; },
                           [&](long n) { EXPECT_EQ(out, nullptr) << "n=" << n; },
                           [&] {
                               ASSERT_EQ(count, 3);
                               EXPECT_EQ(out[2], 5);
                               std::free(out);
                           }});
         }},
        {"plugin_get_names_from_conf", op_present(plugin_get_names_from_conf), [&] {
             plugin_strings *names = nullptr;
             EXPECT_TRUE(pit::write_file("/tmp/images.conf", "# images\nsys-a.img\nplug-b.img\n"));
             return sweep({[&] { names = reinterpret_cast<plugin_strings *>(0x1); },
                           [&] { rc = plugin_get_names_from_conf("/tmp/images.conf", &names); }, code,
                           // The configuration reader's own codes pass through unchanged.
                           [&](long n) { EXPECT_EQ(names, nullptr) << hex(n); },
                           [&] {
                               ASSERT_EQ(plugin_strings_num_strings_get(names), 2u);
                               EXPECT_STREQ(plugin_strings_get(names, 1), "plug-b.img");
                               plugin_strings_free(names);
                           }});
         }},
        {"plugin_read_remaining_load", op_present(plugin_read_remaining_load) && op_present(plugin_write_remaining_load), [&] {
             ::setenv("PLUGIN_MAX_ALLOWED_ZELL", "6", 1);
             uint32_t rec[8] = {1, 2, 3, 4, 5, 6, 7, 8}, got[8] = {};
             ::mkdir("/velm/plugin_extract_log", 0755);
             EXPECT_EQ(plugin_write_remaining_load(rec, sizeof rec), 0u);
             Count c = sweep({[&] { std::memset(got, 0xee, sizeof got); },
                              [&] { rc = plugin_read_remaining_load(got, sizeof got); }, code,
                              [&](long n) {
                                  EXPECT_EQ(rc, PLUGIN_ERR_OPEN) << hex(n);
                                  EXPECT_EQ(got[0], 0xeeeeeeeeu) << hex(n);
                              },
                              [&] { EXPECT_EQ(std::memcmp(got, rec, sizeof rec), 0); }});
             ::unsetenv("PLUGIN_MAX_ALLOWED_ZELL");
             return c;
         }},
        {"plugin_write_remaining_load", op_present(plugin_write_remaining_load), [&] {
             ::setenv("PLUGIN_MAX_ALLOWED_ZELL", "6", 1);
             uint32_t rec[8] = {1, 2, 3, 4, 5, 6, 7, 8};
             ::mkdir("/velm/plugin_extract_log", 0755);
             Count c = sweep({[&] { ::unlink("/velm/plugin_extract_log/stage_boot"); },
                              [&] { rc = plugin_write_remaining_load(rec, sizeof rec); }, code,
                              [&](long n) { EXPECT_EQ(rc, PLUGIN_ERR_OPEN) << hex(n); },
                              [&] {
                                  EXPECT_EQ(pit::read_file("/velm/plugin_extract_log/stage_boot").size(), sizeof rec);
                              }});
             ::unsetenv("PLUGIN_MAX_ALLOWED_ZELL");
             return c;
         }},
    };

    long total = 0;
    std::vector<std::string> absent;
    for (const Op &op : ops) {
        if (!op.present) {
            absent.push_back(op.name);
            continue;
        }
        SCOPED_TRACE(op.name);
        Count c = op.run();
        std::printf("alloc sweep: %-38s %4ld failures injected (%ld absorbed, the call succeeding)\n", op.name,
                    c.injected, c.absorbed);
        total += c.injected;
        // Every listed operation allocates: a sweep that injects nothing did not test it.
        EXPECT_GT(c.injected, 0) << op.name;
    }
    std::printf("alloc sweep: %ld failures injected over %zu operations\n", total, ops.size() - absent.size());
    for (const std::string &name : absent) std::printf("alloc sweep: %s is not in this build\n", name.c_str());
    std::fflush(stdout);
    std::free(record);
}

}  // namespace
