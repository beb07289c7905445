// Module search when the system fails it: a folder listing that fails loads
// nothing and breaks nothing, at the slot's start and on a lookup's miss.
// The failures come from Platform's fault table, so the runtime is linked
// statically (one copy of the table) and runs on the tests' own device kind.
#include "coload_calls.h"
#include "fake_device.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <vector>

namespace {

const fake_kernel_entry kernels[] = {{"fline12", saxpy_item}};

intptr_t module_rows(void)
{
    return __atomic_load_n(&zeq_internal_offload()->device_table[1].module_count, __ATOMIC_ACQUIRE);
}

class module_faults : public ::testing::Test {
protected:
    void SetUp() override { install_fake_devices(1, 4, 4, kernels, 1); }
    void TearDown() override { platform_fault_clear(); }
};

TEST_F(module_faults, a_listing_that_fails_at_the_start_loads_nothing_and_the_first_miss_lists_again)
{
    ASSERT_EQ(platform_fault_inject("opendir", 1, EACCES), 0);
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 12);
    EXPECT_EQ(run_checked_saxpy(&site, 4096), 0) << "found on the second listing, run on the device";
    EXPECT_EQ(platform_fault_calls("opendir"), 2u) << "the start's listing failed, the miss listed again";
    EXPECT_GT(site.kernel[1], 0);
    EXPECT_GT(module_rows(), 0);
}

TEST_F(module_faults, a_listing_that_fails_on_a_miss_leaves_the_call_to_the_host)
{
    static char known[] = "coload_fake.zeq";
    static qiv_coload_site warm = QIV_COLOAD_SITE_INIT(known, 12);
    EXPECT_EQ(run_checked_saxpy(&warm, 1024), 0);
    intptr_t rows = module_rows();

    ASSERT_EQ(platform_fault_inject("opendir", 1, EIO), 0);
    static char absent[] = "absent.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(absent, 12);
    EXPECT_EQ(run_checked_saxpy(&site, 1024), 1);
    EXPECT_EQ(platform_fault_calls("opendir"), 1u);
    EXPECT_EQ(site.kernel[1], -1) << "no kernel, and not looked up again";
    EXPECT_EQ(module_rows(), rows);
    EXPECT_EQ(run_checked_saxpy(&site, 1024), 1);
    EXPECT_EQ(platform_fault_calls("opendir"), 1u);
}

// Module names compare blind to ASCII case and to nothing else: folding by
// one bit would make '[' equal '{' and '@' equal '`'.
TEST(module_names, compare_equal_only_when_they_differ_in_the_case_of_letters)
{
    EXPECT_EQ(name_equal_nocase("Saxpy.OCL", "saxpy.ocl"), 0);
    EXPECT_EQ(name_equal_nocase("", ""), 0);
    EXPECT_EQ(name_equal_nocase("a[1]", "a{1}"), -1);
    EXPECT_EQ(name_equal_nocase("@x", "`x"), -1);
    EXPECT_EQ(name_equal_nocase("k^", "k~"), -1);
    EXPECT_EQ(name_equal_nocase("ab", "abc"), -1);
    EXPECT_EQ(name_equal_nocase("abc", "ab"), -1);
}

} // namespace
