#include "disk/disk_export.h"

#include <gtest/gtest.h>

#include <set>

#include "disk/session.h"
#include "support/image_builder.h"

namespace prendle {
namespace {

using test::Bytes;

class RecordingListener : public ExportListener {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
    void setStatus(const std::string& text) override {
        statuses.push_back(text);
        if (onStatus) onStatus();
    }
    void setProgressRange(uint32_t lower, uint32_t upper) override { range = {lower, upper}; }
    void setProgressPos(uint32_t position) override { positions.push_back(position); }
    void setControlsEnabled(bool enabled) override { controlsEnabled = enabled; }
    void setProgressVisible(bool visible) override { progressVisible = visible; }

    std::vector<std::string> messages, statuses;
    std::vector<uint32_t> positions;
    std::pair<uint32_t, uint32_t> range{};
    bool controlsEnabled = true, progressVisible = false;
    std::function<void()> onStatus;
};

class DiskExport : public testing::Test {
protected:
    void SetUp() override { session.sourceDialogId = kImagePageDialogId; }
    Session session;
};

TEST(ExportNaming, NumbersTakenNamesFromOne) {
    std::set<std::string> taken;
    auto exists = [&](const std::string& p) { return taken.count(p) > 0; };
    EXPECT_EQ(exportDestinationName("/out", "/images/disk.vdi", exists), "/out/disk.vdi.img");
    taken = {"/out/disk.vdi.img", "/out/1disk.vdi.img"};
    EXPECT_EQ(exportDestinationName("/out/", "/images/disk.vdi", exists), "/out/2disk.vdi.img");
    EXPECT_EQ(exportDestinationName("/out", "disk.vdi", exists), "/out/Recovered_diskimg.img");
    taken = {"/out/Recovered_diskimg.img"};
    EXPECT_EQ(exportDestinationName("/out", "disk.vdi", exists), "/out/1Recovered_diskimg.img");
}

TEST(ExportZeroRuns, AlignedRunsOfZerosInsideStoredPiecesBecomeHoles) {
    // 5 pages: zeros, data, zeros, data in the last byte only, zeros; then a 100-byte tail.
    Bytes bytes(5 * 4096 + 100, 0);
    bytes[4096 + 7] = 1;
    bytes[4 * 4096 - 1] = 2;
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, size_t>> pieces, expected;
    };
    const Case cases[] = {
        {"whole chunk", {{0, bytes.size()}}, {{4096, 4096}, {3 * 4096, 4096}}},
        {"unaligned piece", {{4000, 300}}, {{4096, 204}}},
        {"two pieces meeting", {{0, 6000}, {6000, 10400}}, {{4096, 1904}, {3 * 4096, 4096}}},
        {"zero tail kept out", {{5 * 4096, 100}}, {}},
        {"no pieces", {}, {}},
    };
    for (const auto& c : cases) {
        bytes[5 * 4096 + 50] = 0;
        EXPECT_EQ(withoutZeroRuns(bytes, c.pieces), c.expected) << c.name;
    }
    bytes[5 * 4096 + 50] = 9;
    EXPECT_EQ(withoutZeroRuns(bytes, {{5 * 4096, 100}}),
              (std::vector<std::pair<size_t, size_t>>{{5 * 4096, 100}}));
}

TEST(ExportNaming, StatusTextCountsMegabytesAndGigabytes) {
    EXPECT_EQ(exportStatusText(5 * 1048576, 1073741824),
              "5 MB of 1024 MB or 0.004883 GB of 1.000000 GB Saved");
}

TEST_F(DiskExport, WritesEveryByteOfTheDiskWithAShortLastChunk) {
    // 13 blocks of 1 MiB: two whole 5 MiB chunks and one of 3 MiB.
    std::vector<bool> stored{true,  false, true,  true,  false, false, true,
                             false, false, false, false, true,  false};
    auto image = test::buildVdi(1 << 20, stored);
    test::TempFile file(image.file, ".vdi");
    test::TempFolder out;
    RecordingListener listener;
    // A Stop confirmed after an earlier export ended must not cut this one short.
    std::atomic<bool> stop{true};
    ExportRequest request{file.path(), ImageKind::Vdi, out.path() + "/disk.img"};
    EXPECT_EQ(runDiskExport(session, request, listener, stop), ExportOutcome::Saved);
    EXPECT_EQ(test::readWholeFile(request.destination), image.disk);
    EXPECT_EQ(listener.range, std::make_pair(0u, 13u * 2048u));
    EXPECT_EQ(listener.positions, (std::vector<uint32_t>{0, 20480}));
    ASSERT_GE(listener.statuses.size(), 2u);
    EXPECT_EQ(listener.statuses[listener.statuses.size() - 2],
              "13 MB of 13 MB or 0.012695 GB of 0.012695 GB Saved");
    EXPECT_EQ(listener.statuses.back(), "Image Saved,Choose any one of the mode and click next.");
    EXPECT_TRUE(listener.messages.empty());
    EXPECT_TRUE(listener.controlsEnabled);
    EXPECT_FALSE(listener.progressVisible);
    EXPECT_EQ(session.reader, nullptr);
}

TEST_F(DiskExport, StopKeepsTheChunkJustWritten) {
    auto image = test::buildVdi(1 << 20, std::vector<bool>(12, true));
    test::TempFile file(image.file, ".vdi");
    test::TempFolder out;
    RecordingListener listener;
    std::atomic<bool> stop{false};
    // Stop is pressed while the second chunk is read.
    int statusCount = 0;
    listener.onStatus = [&] {
        if (++statusCount == 1) stop = true;
    };
    ExportRequest request{file.path(), ImageKind::Vdi, out.path() + "/disk.img"};
    EXPECT_EQ(runDiskExport(session, request, listener, stop), ExportOutcome::Stopped);
    EXPECT_FALSE(stop);
    Bytes written = test::readWholeFile(request.destination);
    EXPECT_EQ(written.size(), 2 * kExportChunkBytes);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), image.disk.begin()));
    EXPECT_EQ(listener.statuses.back(), "Image Saved,Choose any one of the mode and click next.");
}

TEST_F(DiskExport, FailuresShowTheirMessageAndReleaseTheReader) {
    auto image = test::buildVdi(1 << 20, {true});
    test::TempFile file(image.file, ".vdi");
    test::TempFolder out;
    std::atomic<bool> stop{false};

    RecordingListener noFolder;
    ExportRequest bad{file.path(), ImageKind::Vdi, out.path() + "/missing/disk.img"};
    EXPECT_EQ(runDiskExport(session, bad, noFolder, stop), ExportOutcome::Failed);
    EXPECT_EQ(noFolder.messages, std::vector<std::string>{"File cannot be Created"});
    EXPECT_TRUE(noFolder.controlsEnabled);
    EXPECT_EQ(session.reader, nullptr);

    RecordingListener lost;
    session.sourceDialogId = 0;
    ExportRequest request{file.path(), ImageKind::Vdi, out.path() + "/disk.img"};
    EXPECT_EQ(runDiskExport(session, request, lost, stop), ExportOutcome::Failed);
    EXPECT_EQ(lost.messages, std::vector<std::string>{
                                 "Information lost, please click Back button and parse again"});
}

TEST_F(DiskExport, AnUnreadableBlockEndsTheExportWithTheErrorInTheStatusLine) {
    auto image = test::buildVdi(1 << 20, std::vector<bool>(8, true));
    test::putLe32(image.file, test::kVdiBlockMapOffset + 6 * 4, 0x00FFFFFF);
    test::TempFile file(image.file, ".vdi");
    test::TempFolder out;
    RecordingListener listener;
    std::atomic<bool> stop{false};
    ExportRequest request{file.path(), ImageKind::Vdi, out.path() + "/disk.img"};
    EXPECT_EQ(runDiskExport(session, request, listener, stop), ExportOutcome::Failed);
    EXPECT_EQ(listener.statuses.back().rfind("Exit with error number ", 0), 0u)
        << listener.statuses.back();
    EXPECT_EQ(test::readWholeFile(request.destination).size(), kExportChunkBytes);
}

}  // namespace
}  // namespace prendle
