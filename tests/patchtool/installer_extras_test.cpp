// What an installer carries beside the patch: the checksum record, the version resource, and no
// signature of its stub's.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "tests/patchtool/support.h"
#include "tools/patchtool/builder/pack.h"
#include "tools/patchtool/format/version_resource.h"

namespace {

class InstallerExtras : public ::testing::Test, protected InstallerBuild {};

// Returns: inspect's fault, and its output in *text.
std::string Inspect(const fs::path &path, std::string *text)
{
    LoadedPatch patch;
    std::string error;
    EXPECT_TRUE(LoadPatch(path, &patch, &error)) << error;
    RecordingReport report;
    std::string fault = InspectPatch(patch, report);
    *text = report.Text(Report::Kind::Listing);
    return fault;
}

void FlipByte(const fs::path &from, const fs::path &to, uint64_t offset)
{
    std::vector<uint8_t> image = Get(from);
    image[offset] ^= 0x01;
    Put(to, image);
}

// Appends a certificate table of 16 bytes (an Authenticode header and 8 bytes) to an image.
void AddCertificateTable(std::vector<uint8_t> *image)
{
    image->resize((image->size() + 7) & ~(size_t)7, 0);
    uint32_t at = (uint32_t)image->size();
    std::vector<uint8_t> table = {16, 0, 0, 0, 0x00, 0x02, 0x02, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    image->insert(image->end(), table.begin(), table.end());
    uint32_t directories = GetU32(&(*image)[0x3C]) + 24 + 96;  // PE32
    PutU32(&(*image)[directories + 8 * 4], at);
    PutU32(&(*image)[directories + 8 * 4 + 4], 16);
}

TEST_F(InstallerExtras, TheRecordNamesEveryDamagedResource)
{
    o.chunkSize = 10000;
    ASSERT_EQ(Build(), 0);
    std::string text;
    ASSERT_EQ(Inspect(o.installer, &text), "") << text;
    EXPECT_NE(text.find("checksum record: the descriptor and " + std::to_string(summary.chunks) +
                        " chunks, all match"),
              std::string::npos)
        << text;

    // One flipped byte in a range entry's data, in a compressed stream, in the descriptor.
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.installer, &patch, &error));
    const uint8_t *image = patch.storage[0].data();
    uint64_t rangeAt = 0, streamAt = 0;
    uint32_t rangeChunk = 0, streamChunk = 0;
    for (const ChunkView &chunk : patch.chunks) {
        std::vector<EntryInfo> entries;
        ASSERT_EQ(CheckChunk(chunk, Collect, &entries), "");
        for (const EntryInfo &e : entries) {
            uint64_t data = (uint64_t)(chunk.data - image) + e.chunkOffset;
            if (e.kind == EntryKindRange && !rangeAt) {
                rangeAt = data + EntryHeaderSize(EntryKindRange, e.name.size()),
                rangeChunk = chunk.id;
            } else if (e.kind != EntryKindRange && !streamAt && e.dataSize > 100) {
                streamAt = data + EntryHeaderSize(WholeFileKind, e.name.size()) + e.dataSize - 50,
                streamChunk = chunk.id;
            }
        }
    }
    ASSERT_TRUE(rangeAt && streamAt);
    std::vector<PeResource> items;
    ASSERT_TRUE(ReadPeResources(patch.storage[0], &items, &error));
    const PeResource *descriptor = FindPeResource(items, NameKey(u"QPATCH"), IdKey(2000));
    struct Case {
        uint64_t offset;
        std::string named;
    } cases[] = {{rangeAt, "chunk " + std::to_string(rangeChunk)},
                 {streamAt, "chunk " + std::to_string(streamChunk)},
                 {descriptor->imageOffset + 12, "the descriptor"}};
    for (const Case &c : cases) {
        FlipByte(o.installer, temp.path / "flipped.exe", c.offset);
        std::string fault = Inspect(temp.path / "flipped.exe", &text);
        EXPECT_NE(text.find("  " + c.named + " does not match its CRC-32"), std::string::npos)
            << text;
        EXPECT_NE(fault, "") << c.named;
    }

    // Left out on request; then the installer cannot check itself, and inspect says so.
    o.checksumRecord = false;
    o.installer = temp.path / "unchecked.exe";
    o.force = true;
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(Inspect(o.installer, &text), "");
    EXPECT_NE(text.find("checksum record: none"), std::string::npos) << text;
}

// Packs the patch folder into the stub at installer, as `patchtool pack` does.
// Returns: PackInstaller's exit code.
int Pack(const fs::path &folder, const fs::path &stub, const fs::path &installer, bool withRecord,
         Report &report = TestReport())
{
    PackOptions pack;
    std::string error;
    EXPECT_TRUE(ReadPatchFolder(folder, &pack.files, &error)) << error;
    pack.installer = installer;
    pack.stub = stub;
    pack.checksumRecord = withRecord;
    return PackInstaller(pack, report);
}

TEST_F(InstallerExtras, PackWritesAPatchFolderAsBuildDoes)
{
    o.chunkSize = 10000;
    ASSERT_EQ(Build(), 0);
    ASSERT_GE(summary.chunks, 3u);
    ASSERT_EQ(Pack(o.outFolder, o.stub, temp.path / "packed.exe", true), 0);
    EXPECT_EQ(Get(temp.path / "packed.exe"), Get(o.installer));
    o.checksumRecord = false;
    o.force = true;
    ASSERT_EQ(Build(), 0);
    ASSERT_EQ(Pack(o.outFolder, o.stub, temp.path / "packed.exe", false), 0);
    EXPECT_EQ(Get(temp.path / "packed.exe"), Get(o.installer));

    // A gap: what follows it is carried, unlisted, and said to be never applied.
    fs::remove(o.outFolder / "1602.bin");
    RecordingReport report;
    ASSERT_EQ(Pack(o.outFolder, o.stub, temp.path / "packed.exe", true, report), 0);
    EXPECT_NE(report.Text(Report::Kind::Warning).find("chunk 1602 is missing, so chunks 1603"),
              std::string::npos);
    std::string text;
    EXPECT_NE(Inspect(temp.path / "packed.exe", &text).find("chunk 1603 follows a missing id"),
              std::string::npos);
    EXPECT_NE(text.find("checksum record: the descriptor and 1 chunks, all match"),
              std::string::npos)
        << text;
}

// Returns: true when the image has a resource of type named typeName, or record id.
bool HasResource(const fs::path &installer, const char16_t *typeName, uint16_t id)
{
    std::vector<PeResource> items;
    std::string error;
    EXPECT_TRUE(ReadPeResources(Get(installer), &items, &error)) << error;
    return FindPeResource(items, NameKey(typeName), IdKey(id)) != nullptr;
}

TEST_F(InstallerExtras, TheRemovalListHasItsOwnRecordAndNothingWithoutOne)
{
    ASSERT_EQ(Build(), 0);  // nothing to remove: neither the list nor its record
    EXPECT_FALSE(fs::exists(o.outFolder / "1601.remove"));
    EXPECT_FALSE(HasResource(o.installer, u"QPATCHREMOVE", IDR_FIRST_CHUNK));
    EXPECT_FALSE(HasResource(o.installer, u"QPATCHCRC", 3));

    Put(g.oldFolder / "Data/dropped.dat", Bytes(100, 90, true));
    o.force = true;
    ASSERT_EQ(Build(), 0);
    std::string text;
    ASSERT_EQ(Inspect(o.installer, &text), "") << text;
    EXPECT_NE(text.find("removal checksum record: the descriptor and 1 removal lists, all match"),
              std::string::npos)
        << text;
    ASSERT_EQ(Pack(o.outFolder, o.stub, temp.path / "packed.exe", true), 0);
    EXPECT_EQ(Get(temp.path / "packed.exe"), Get(o.installer));

    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.installer, &patch, &error)) << error;
    FlipByte(o.installer, temp.path / "flipped.exe",
             patch.removals.data - patch.storage[0].data() + patch.removals.size - 1);
    EXPECT_NE(Inspect(temp.path / "flipped.exe", &text), "");
    EXPECT_NE(text.find("removal list 1601 does not match its CRC-32"), std::string::npos) << text;
    // Without its record, a checked installer's removal list is damage.
    std::vector<PeResource> items;
    ASSERT_TRUE(ReadPeResources(patch.storage[0], &items, &error));
    items.erase(items.begin() +
                (FindPeResource(items, NameKey(u"QPATCHCRC"), IdKey(3)) - &items[0]));
    ASSERT_TRUE(WritePeWithResources(patch.storage[0], items, temp.path / "unlisted.exe", &error))
        << error;
    EXPECT_NE(Inspect(temp.path / "unlisted.exe", &text).find("no record of its removal list"),
              std::string::npos)
        << text;
}

TEST_F(InstallerExtras, VersionResourceReadsBackFromThePe)
{
    o.target = 0x02030405;
    o.description = "《Tolvar二》v1.1.0.0\r\n升级到 v2.3.4.5\r\n";
    ASSERT_EQ(Build(), 0);
    std::vector<uint8_t> image = Get(o.installer);
    std::vector<PeResource> items;
    std::string error;
    ASSERT_TRUE(ReadPeResources(image, &items, &error)) << error;
    const PeResource *resource = FindPeResource(items, IdKey(16), IdKey(1));
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(resource->imageOffset % 4, 0u);  // its nodes are aligned from its first byte
    VersionInfo info;
    ASSERT_TRUE(ParseVersionResource(DataOf(image, resource), &info));
    EXPECT_EQ(FixedVersionText(info.fileHigh, info.fileLow), "2.3.4.5");
    EXPECT_EQ(FixedVersionText(info.productHigh, info.productLow), "2.3.4.5");
    EXPECT_EQ(*info.Find(u"FileDescription"), u"《Tolvar二》v1.1.0.0 升级到 v2.3.4.5");
    EXPECT_EQ(*info.Find(u"FileVersion"), u"2.3.4.5");
    EXPECT_EQ(*info.Find(u"ProductVersion"), u"2.3.4.5");
    EXPECT_EQ(*info.Find(u"ProductName"), VersionProductName);
    std::string text;
    ASSERT_EQ(Inspect(o.installer, &text), "");
    EXPECT_NE(text.find("version resource: file 2.3.4.5, product 2.3.4.5"), std::string::npos)
        << text;
    // A damaged resource is reported as such, never read past its end.
    std::vector<uint8_t> bytes = DataOf(image, resource);
    for (size_t size = 0; size < bytes.size(); size += 3) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + size);
        ParseVersionResource(cut, &info);
    }
}

TEST_F(InstallerExtras, ASignatureIsReportedAndDroppedFromASignedStub)
{
    std::vector<uint8_t> stub = Get(o.stub);
    AddCertificateTable(&stub);
    Put(temp.path / "signed-stub.exe", stub);
    ASSERT_EQ(Build(), 0);
    std::string text;
    ASSERT_EQ(Inspect(o.installer, &text), "");
    EXPECT_NE(text.find("signature: none"), std::string::npos) << text;

    std::vector<uint8_t> installer = Get(o.installer);
    AddCertificateTable(&installer);
    Put(temp.path / "signed.exe", installer);
    ASSERT_EQ(Inspect(temp.path / "signed.exe", &text), "");
    EXPECT_NE(text.find("signature: signed (Authenticode"), std::string::npos) << text;
    EXPECT_NE(text.find("all match"), std::string::npos) << text;

    // A signed stub: the result is unsigned, and says why. (A signed installer is refused as a
    // stub: it already carries a patch.)
    o.stub = temp.path / "signed-stub.exe";
    o.force = true;
    RecordingReport report;
    ASSERT_EQ(Build(report), 0);
    EXPECT_NE(
        report.Text(Report::Kind::Warning).find("is signed; the installer is written without"),
        std::string::npos);
    uint32_t offset = 1, size = 1;
    ASSERT_TRUE(ReadPeCertificateTable(Get(o.installer), &offset, &size));
    EXPECT_EQ(offset + size, 0u);
    EXPECT_EQ(Inspect(o.installer, &text), "");
    EXPECT_NE(text.find("signature: none"), std::string::npos) << text;
}

}  // namespace
