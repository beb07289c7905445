// The OpenCL driver when reading a kernel file fails: the file still gets its
// module row, with handle 0, so it is neither built nor tried again, and
// calls of its kernels run on the host while the other file's run on the
// device.  The read fails through Platform's fault table, so the runtime is
// linked statically; the slot is PoCL's, presented as a GPU.  Runs from a
// folder of its own that holds two files with the same kernel.
#include "coload_calls.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <string>
#include <vector>

namespace {

TEST(opencl_faults, a_failed_read_of_a_kernel_file_leaves_a_row_with_handle_0)
{
    REQUIRE_OPENCL();
    // The slot starts with the first call and reads both files then.
    ASSERT_EQ(platform_fault_inject("pread", 1, EIO), 0);
    static char first[] = "first.zeq";
    static qiv_coload_site warm = QIV_COLOAD_SITE_INIT(first, 12);
    run_checked_saxpy(&warm, 1024);
    EXPECT_GE(platform_fault_calls("pread"), 2u) << "both files were read";
    platform_fault_clear();

    device_slot *slot = &zeq_internal_offload()->device_table[1];
    ASSERT_EQ(slot->module_count, 2);
    int failed = slot->modules[0].handle == 0 ? 0 : 1;
    ASSERT_EQ(slot->modules[failed].handle, 0u);
    ASSERT_NE(slot->modules[1 - failed].handle, 0u);

    std::string failed_source = std::string(slot->modules[failed].name) + ".zeq";
    std::string good_source = std::string(slot->modules[1 - failed].name) + ".zeq";
    std::vector<char> failed_text(failed_source.begin(), failed_source.end()), good_text(good_source.begin(), good_source.end());
    failed_text.push_back(0);
    good_text.push_back(0);
    static qiv_coload_site failed_site, good_site;
    failed_site = QIV_COLOAD_SITE_INIT(failed_text.data(), 12);
    good_site = QIV_COLOAD_SITE_INIT(good_text.data(), 12);
    EXPECT_EQ(run_checked_saxpy(&failed_site, 4096), 1) << "its kernels run on the host";
    EXPECT_EQ(failed_site.kernel[1], -1);
    EXPECT_EQ(run_checked_saxpy(&good_site, 4096), 0) << "the other file's run on the device";
    EXPECT_GT(good_site.kernel[1], 0);
    EXPECT_EQ(slot->module_count, 2) << "the failed file is not tried again";
}

} // namespace
