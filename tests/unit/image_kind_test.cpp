#include "disk/image_kind.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/image_builder.h"

namespace prendle {
namespace {

using test::Bytes;

TEST(ImageKind, IsToldByTheContents) {
    struct Case {
        const char* name;
        std::string head;
        ImageKind kind;
    };
    const Case cases[] = {
        {"qcow2", std::string("QFI\xfb", 4), ImageKind::Qcow2},
        {"vhdx", "vhdxfile", ImageKind::Vhdx},
        {"sparse vmdk", "KDMV", ImageKind::Vmdk},
        {"vmdk descriptor", "# Disk DescriptorFile\nversion=1\n", ImageKind::Vmdk},
        {"descriptor without its title", "version=1\nCID=fffffffe\ncreateType=\"monolithicFlat\"\n",
         ImageKind::Vmdk},
        {"text that is no descriptor", "createType= in a letter", ImageKind::Flat},
        {"vhd", "conectix", ImageKind::Vhd},
        {"zeros", std::string(16, '\0'), ImageKind::Flat},
    };
    for (const auto& c : cases) {
        Bytes bytes(4096, 0);
        std::memcpy(bytes.data(), c.head.data(), c.head.size());
        test::TempFile file(bytes);
        auto kind = detectImageKind(file.path());
        ASSERT_TRUE(kind.ok()) << c.name;
        EXPECT_EQ(kind.value(), c.kind) << c.name;
    }
}

TEST(ImageKind, ParentsAreLookedForBesideTheChild) {
    struct Case {
        const char* recorded;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"base.qcow2", {"/vm/base.qcow2"}},
        {"sub/base.qcow2", {"/vm/sub/base.qcow2", "/vm/base.qcow2"}},
        {".\\parent.vhdx", {"/vm/./parent.vhdx", "/vm/parent.vhdx"}},
        {"C:\\Users\\a\\VMs\\parent.vhd", {"/vm/parent.vhd"}},
        {"/elsewhere/base.vmdk", {"/elsewhere/base.vmdk", "/vm/base.vmdk"}},
        {"../base.vdi", {"/vm/../base.vdi", "/vm/base.vdi"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parentCandidates("/vm/child.img", c.recorded), c.expected) << c.recorded;
}

}  // namespace
}  // namespace prendle
