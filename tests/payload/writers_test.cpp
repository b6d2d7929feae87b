// The entry writers on real files in a temporary game folder.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include "payload/entry_writers.h"
#include "payload/progress.h"
#include "resources/resource.h"
#include "tests/payload/chunk_builder.h"
#include "tests/payload/win32_test_support.h"
#include "stream/encode/block_encoder.h"

namespace {

std::vector<uint8_t> Encode(const std::vector<uint8_t> &data, uint32_t blockSize = 524288)
{
    BlockEncoderOptions options;
    options.blockSize = blockSize;
    options.level = 1;
    std::vector<uint8_t> stream;
    EXPECT_TRUE(EncodeBlockStream(data.data(), data.size(), options, stream));
    return stream;
}

// A progress bar stand-in that records every bar message with progressBytes at that moment.
struct BarMessage {
    UINT message;
    WPARAM wParam;
    uint64_t bytes;
};
std::vector<BarMessage> barMessages;

LRESULT CALLBACK RecordingBarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PBM_STEPIT || message == PBM_DELTAPOS) {
        barMessages.push_back({message, wParam, progressBytes});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A hidden window whose IDC_PROGRESS child is either the recorder or a real progress bar.
class BarWindow {
public:
    explicit BarWindow(bool real)
    {
        WNDCLASSW recorder = {};
        recorder.lpfnWndProc = RecordingBarProc;
        recorder.hInstance = GetModuleHandleW(nullptr);
        recorder.lpszClassName = L"PayloadTestBar";
        RegisterClassW(&recorder);  // fails harmlessly when already registered
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 50, nullptr, nullptr,
                                 nullptr, nullptr);
        bar = CreateWindowExW(0, real ? PROGRESS_CLASSW : L"PayloadTestBar", L"", WS_CHILD, 0, 0,
                              200, 20, parent, (HMENU)(INT_PTR)IDC_PROGRESS, nullptr, nullptr);
        SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageW(bar, PBM_SETSTEP, 1, 0);
        barMessages.clear();
        progressWindow = parent;
    }
    ~BarWindow()
    {
        progressWindow = nullptr;
        DestroyWindow(parent);
    }
    int position() const { return (int)SendMessageW(bar, PBM_GETPOS, 0, 0); }

    HWND parent;
    HWND bar;
};

// Bytes written by the recorder's messages, one per piece when every piece raises the percent.
std::vector<uint64_t> PiecesSeen(uint64_t start)
{
    std::vector<uint64_t> pieces;
    for (const BarMessage &m : barMessages) {
        pieces.push_back(m.bytes - start);
        start = m.bytes;
    }
    return pieces;
}

class WholeFileTest : public GameFolderTest {};

TEST_F(WholeFileTest, DataTooShortForAStreamHeaderIsCorruptAndCreatesNothing)
{
    std::vector<uint8_t> stream = Encode(PatternBytes(100, 1));
    for (uint32_t size : {0u, 1u, 11u}) {
        EXPECT_EQ(InstallResult::Corrupt, WriteWholeFileEntry(stream.data(), size, L"new.bin"));
    }
    EXPECT_EQ(InstallResult::Corrupt, WriteWholeFileEntry(nullptr, 0, L"new.bin"));
    EXPECT_FALSE(Exists(at(L"new.bin")));
    // A header whose block table is cut short leaves an existing file alone.
    WriteBytes(at(L"old.bin"), {1, 2, 3});
    EXPECT_EQ(InstallResult::Corrupt, WriteWholeFileEntry(stream.data(), 13, L"old.bin"));
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"old.bin"), &content));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), content);
    EXPECT_EQ(0u, progressBytes);
}

TEST_F(WholeFileTest, StreamOfNoBytesLeavesAnEmptyFile)
{
    std::vector<uint8_t> stream = Encode({});
    ASSERT_EQ(12u, stream.size());
    WriteBytes(at(L"was-full.bin"), PatternBytes(5000, 2));
    EXPECT_EQ(InstallResult::Ok, WriteWholeFileEntry(stream.data(), 12, L"was-full.bin"));
    EXPECT_EQ(InstallResult::Ok, WriteWholeFileEntry(stream.data(), 12, L"fresh.bin"));
    for (const wchar_t *name : {L"was-full.bin", L"fresh.bin"}) {
        std::vector<uint8_t> content{9};
        ASSERT_TRUE(ReadBytes(at(name), &content));
        EXPECT_TRUE(content.empty());
    }
    EXPECT_EQ(0u, progressBytes);  // a stream without bytes is never counted
}

TEST_F(WholeFileTest, ReplacesALongerFileExactlyAndCountsItsStoredSize)
{
    std::vector<uint8_t> data = PatternBytes(10000, 3);
    std::vector<uint8_t> stream = Encode(data);
    WriteBytes(at(L"target.bin"), PatternBytes(25000, 4));
    progressBytes = 77;
    EXPECT_EQ(InstallResult::Ok,
              WriteWholeFileEntry(stream.data(), (uint32_t)stream.size(), L"target.bin"));
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"target.bin"), &content));
    EXPECT_EQ(data, content);
    EXPECT_EQ(77u + stream.size(), progressBytes);
    EXPECT_TRUE(OpensExclusively(at(L"target.bin")));
}

TEST_F(WholeFileTest, PiecesAreAtMost4096DecodedBytesEachAccountedAsItsShare)
{
    std::vector<uint8_t> data = PatternBytes(10000, 5);
    std::vector<uint8_t> stream = Encode(data, 3000);  // reads cross block borders
    uint32_t dataSize = (uint32_t)stream.size();
    BarWindow bar(false);
    progressDivisor = (int32_t)(dataSize / 100);  // every piece raises the percent
    ASSERT_EQ(InstallResult::Ok, WriteWholeFileEntry(stream.data(), dataSize, L"t.bin"));
    ASSERT_EQ(3u, barMessages.size());
    EXPECT_EQ(dataSize * 4096ull / 10000, barMessages[0].bytes);
    EXPECT_EQ(dataSize * 8192ull / 10000, barMessages[1].bytes);
    EXPECT_EQ(dataSize, barMessages[2].bytes);
}

TEST_F(WholeFileTest, CreatesMissingFoldersAtForwardSlashes)
{
    std::vector<uint8_t> data = PatternBytes(300, 6);
    std::vector<uint8_t> stream = Encode(data);
    ASSERT_EQ(InstallResult::Ok,
              WriteWholeFileEntry(stream.data(), (uint32_t)stream.size(), L"Data/New/a.bin"));
    EXPECT_TRUE(IsFolder(at(L"Data")));
    EXPECT_TRUE(IsFolder(at(L"Data\\New")));
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"Data\\New\\a.bin"), &content));
    EXPECT_EQ(data, content);
    // Folders that exist already are fine, and a mixed name creates only at its slashes.
    ASSERT_EQ(InstallResult::Ok,
              WriteWholeFileEntry(stream.data(), (uint32_t)stream.size(), L"Data/Other/b.bin"));
    EXPECT_TRUE(Exists(at(L"Data\\Other\\b.bin")));
}

TEST_F(WholeFileTest, BackslashesCreateNoFolders)
{
    std::vector<uint8_t> stream = Encode(PatternBytes(300, 7));
    EXPECT_EQ(InstallResult::CannotCreate,
              WriteWholeFileEntry(stream.data(), (uint32_t)stream.size(), L"Data\\New\\a.bin"));
    EXPECT_FALSE(Exists(at(L"Data")));
    EXPECT_EQ(0u, progressBytes);
}

TEST_F(WholeFileTest, EmptyNameNamesTheGameFolderAndCannotBeCreated)
{
    std::vector<uint8_t> stream = Encode({});
    EXPECT_EQ(InstallResult::CannotCreate, WriteWholeFileEntry(stream.data(), 12, L""));
    EXPECT_TRUE(IsFolder(root));
}

TEST_F(WholeFileTest, ReadOnlyTargetIsCannotCreateAndKeepsItsContent)
{
    if (!readOnlyIsEnforced()) {
        GTEST_SKIP() << "read-only files are writable here (root under Wine); runs unprivileged";
    }
    ASSERT_TRUE(CreateDirectoryW(at(L"Data").c_str(), nullptr));
    std::vector<uint8_t> old = PatternBytes(500, 8);
    WriteBytes(at(L"Data\\ro.bin"), old);
    SetFileAttributesW(at(L"Data\\ro.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    std::vector<uint8_t> stream = Encode(PatternBytes(300, 9));
    EXPECT_EQ(InstallResult::CannotCreate,
              WriteWholeFileEntry(stream.data(), (uint32_t)stream.size(), L"Data/ro.bin"));
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"Data\\ro.bin"), &content));
    EXPECT_EQ(old, content);
}

TEST_F(WholeFileTest, TargetHeldOpenElsewhereIsCannotCreateAndKeepsItsContent)
{
    std::vector<uint8_t> old = PatternBytes(500, 10);
    WriteBytes(at(L"held.bin"), old);
    HANDLE holder = CreateFileW(at(L"held.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    std::vector<uint8_t> stream = Encode(PatternBytes(300, 11));
    EXPECT_EQ(InstallResult::CannotCreate,
              WriteWholeFileEntry(stream.data(), (uint32_t)stream.size(), L"held.bin"));
    CloseHandle(holder);
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"held.bin"), &content));
    EXPECT_EQ(old, content);
}

// Rewrites the stored size of block index in a stream's table.
void SetStoredSize(std::vector<uint8_t> *stream, uint32_t index, uint32_t size)
{
    for (int i = 0; i < 4; ++i) {
        (*stream)[12 + 4 * index + i] = (uint8_t)(size >> (8 * i));
    }
}

TEST_F(WholeFileTest, BlockFailingMidFileIsCorruptWithTheGoodPiecesWritten)
{
    std::vector<uint8_t> data = PatternBytes(12288, 12);
    std::vector<uint8_t> stream = Encode(data, 4096);
    SetStoredSize(&stream, 1, 4);  // below the 5 property bytes
    BarWindow bar(false);
    progressDivisor = (int32_t)(stream.size() / 100);
    EXPECT_EQ(InstallResult::Corrupt,
              WriteWholeFileEntry(stream.data(), (uint32_t)stream.size(), L"broken.bin"));
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"broken.bin"), &content));
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 4096), content);
    EXPECT_EQ(1u, barMessages.size());  // only the good piece was counted
    EXPECT_TRUE(OpensExclusively(at(L"broken.bin")));

    // Stored bytes that run past the end of the entry's data fail the same way.
    std::vector<uint8_t> cut = Encode(data, 4096);
    uint32_t firstBlock = cut[12] | cut[13] << 8 | cut[14] << 16 | (uint32_t)cut[15] << 24;
    uint32_t truncated = 12 + 3 * 4 + firstBlock + 3;
    EXPECT_EQ(InstallResult::Corrupt, WriteWholeFileEntry(cut.data(), truncated, L"cut.bin"));
    ASSERT_TRUE(ReadBytes(at(L"cut.bin"), &content));
    EXPECT_EQ(4096u, content.size());
    EXPECT_TRUE(OpensExclusively(at(L"cut.bin")));
}

TEST_F(WholeFileTest, CancelStopsAfterTheFirstPieceWhichIsNotCounted)
{
    std::vector<uint8_t> data = PatternBytes(10000, 13);
    std::vector<uint8_t> stream = Encode(data);
    WriteBytes(at(L"c.bin"), PatternBytes(20000, 14));
    cancelRequested = true;
    progressBytes = 40;
    EXPECT_EQ(InstallResult::Cancelled,
              WriteWholeFileEntry(stream.data(), (uint32_t)stream.size(), L"c.bin"));
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"c.bin"), &content));
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 4096), content);
    EXPECT_EQ(40u, progressBytes);
    EXPECT_TRUE(OpensExclusively(at(L"c.bin")));
}

class RangeTest : public GameFolderTest {};

TEST_F(RangeTest, MissingFileIsCannotCreateAndIsNotCreated)
{
    std::vector<uint8_t> data = PatternBytes(10, 20);
    EXPECT_EQ(InstallResult::CannotCreate, WriteRangeEntry(data.data(), 10, L"missing.bin", 0));
    EXPECT_EQ(InstallResult::CannotCreate, WriteRangeEntry(data.data(), 10, L"New/missing.bin", 0));
    EXPECT_FALSE(Exists(at(L"missing.bin")));
    EXPECT_FALSE(Exists(at(L"New")));
    EXPECT_EQ(InstallResult::CannotCreate, WriteRangeEntry(data.data(), 10, L"", 0));
}

TEST_F(RangeTest, WritesInPiecesOf4096AndCountsEachByte)
{
    std::vector<uint8_t> old = PatternBytes(30000, 21);
    WriteBytes(at(L"r.bin"), old);
    std::vector<uint8_t> data = PatternBytes(10000, 22);
    BarWindow bar(false);
    progressBytes = 0;
    progressDivisor = 1000;  // every piece raises the percent
    ASSERT_EQ(InstallResult::Ok, WriteRangeEntry(data.data(), 10000, L"r.bin", 1234));
    EXPECT_EQ((std::vector<uint64_t>{4096, 4096, 1808}), PiecesSeen(0));
    EXPECT_EQ(10000u, progressBytes);
    std::vector<uint8_t> expected = old;
    std::copy(data.begin(), data.end(), expected.begin() + 1234);
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"r.bin"), &content));
    EXPECT_EQ(expected, content);
}

TEST_F(RangeTest, CancelAfterTheFirstPieceChangesExactly4096Bytes)
{
    std::vector<uint8_t> old(20000, 0xEE);
    WriteBytes(at(L"r.bin"), old);
    std::vector<uint8_t> data(10000, 0x11);
    cancelRequested = true;
    EXPECT_EQ(InstallResult::Cancelled, WriteRangeEntry(data.data(), 10000, L"r.bin", 100));
    std::vector<uint8_t> expected = old;
    std::fill(expected.begin() + 100, expected.begin() + 100 + 4096, 0x11);
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"r.bin"), &content));
    EXPECT_EQ(expected, content);
    EXPECT_EQ(0u, progressBytes);  // the cancelled piece is not counted
    EXPECT_TRUE(OpensExclusively(at(L"r.bin")));
}

TEST_F(RangeTest, OffsetBeyondTheEndGrowsTheFile)
{
    WriteBytes(at(L"g.bin"), {1, 2, 3});
    std::vector<uint8_t> data = PatternBytes(5000, 23);
    ASSERT_EQ(InstallResult::Ok, WriteRangeEntry(data.data(), 5000, L"g.bin", 70000));
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"g.bin"), &content));
    ASSERT_EQ(75000u, content.size());
    EXPECT_EQ(1, content[0]);
    EXPECT_EQ(0, content[3]);
    EXPECT_EQ(0, content[69999]);
    EXPECT_EQ(data, std::vector<uint8_t>(content.begin() + 70000, content.end()));
}

TEST_F(RangeTest, NoDataLeavesTheFileUnchanged)
{
    std::vector<uint8_t> old = PatternBytes(100, 24);
    WriteBytes(at(L"z.bin"), old);
    EXPECT_EQ(InstallResult::Ok, WriteRangeEntry(nullptr, 0, L"z.bin", 50));
    EXPECT_EQ(InstallResult::Ok, WriteRangeEntry(nullptr, 0, L"z.bin", 5000));
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"z.bin"), &content));
    EXPECT_EQ(old, content);
    EXPECT_EQ(0u, progressBytes);
}

TEST_F(RangeTest, UnreachableOffsetIsCorruptAndChangesNothing)
{
    std::vector<uint8_t> old = PatternBytes(100, 25);
    WriteBytes(at(L"o.bin"), old);
    std::vector<uint8_t> data = PatternBytes(10, 26);
    EXPECT_EQ(InstallResult::Corrupt, WriteRangeEntry(data.data(), 10, L"o.bin", 1ull << 63));
    EXPECT_EQ(InstallResult::Corrupt, WriteRangeEntry(data.data(), 10, L"o.bin", ~0ull));
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"o.bin"), &content));
    EXPECT_EQ(old, content);
    EXPECT_TRUE(OpensExclusively(at(L"o.bin")));
}

TEST_F(RangeTest, ReadOnlyOrHeldTargetIsCannotCreateAndUnchanged)
{
    std::vector<uint8_t> old = PatternBytes(100, 27);
    std::vector<uint8_t> data = PatternBytes(10, 28);
    WriteBytes(at(L"held.bin"), old);
    HANDLE holder = CreateFileW(at(L"held.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_EQ(InstallResult::CannotCreate, WriteRangeEntry(data.data(), 10, L"held.bin", 0));
    CloseHandle(holder);
    std::vector<uint8_t> content;
    ASSERT_TRUE(ReadBytes(at(L"held.bin"), &content));
    EXPECT_EQ(old, content);

    if (!readOnlyIsEnforced()) {
        GTEST_SKIP() << "read-only files are writable here (root under Wine); runs unprivileged";
    }
    WriteBytes(at(L"ro.bin"), old);
    SetFileAttributesW(at(L"ro.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(InstallResult::CannotCreate, WriteRangeEntry(data.data(), 10, L"ro.bin", 0));
    ASSERT_TRUE(ReadBytes(at(L"ro.bin"), &content));
    EXPECT_EQ(old, content);
}

// Returns: the handle value the next open gets; handles reuse the lowest free slot.
HANDLE NextHandle()
{
    HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(probe);
    return probe;
}

// Under Wine, Z:\dev\full is Linux's /dev/full: it opens, but every write fails.
class WriteFailureTest : public GameFolderTest {
protected:
    void SetUp() override
    {
        GameFolderTest::SetUp();
        if (!OpensExclusively(L"Z:\\dev\\full")) {
            GTEST_SKIP() << "needs Wine's view of /dev/full";
        }
        wcscpy(gameRoot, L"Z:\\dev\\");
    }
    void TearDown() override
    {
        wcscpy(gameRoot, root.c_str());
        GameFolderTest::TearDown();
    }
};

TEST_F(WriteFailureTest, FailedWritesAreWriteFailedAndReleaseTheTarget)
{
    std::vector<uint8_t> data = PatternBytes(5000, 30);
    std::vector<uint8_t> stream = Encode(data);
    // A device shares freely, so a leak shows as the next free handle slot being taken.
    HANDLE freeSlot = NextHandle();
    EXPECT_EQ(InstallResult::WriteFailed, WriteRangeEntry(data.data(), 5000, L"full", 0));
    EXPECT_EQ(freeSlot, NextHandle());
    EXPECT_EQ(InstallResult::WriteFailed,
              WriteWholeFileEntry(stream.data(), (uint32_t)stream.size(), L"full"));
    EXPECT_EQ(freeSlot, NextHandle());
    EXPECT_EQ(0u, progressBytes);
}

class TargetPathTest : public GameFolderTest {};

TEST_F(TargetPathTest, IsGameRootFollowedByTheNameWithoutASeparator)
{
    wchar_t path[TargetPathCapacity];
    ASSERT_TRUE(MakeTargetPath(path, L"Bin\\x.dll", 0xFFFFFFFFu));
    EXPECT_EQ(root + L"Bin\\x.dll", path);
    ASSERT_TRUE(MakeTargetPath(path, L"Data/New/a.bin", 4));
    EXPECT_EQ(root + L"Data", path);
    ASSERT_TRUE(MakeTargetPath(path, L"ab", 10));
    EXPECT_EQ(root + L"ab", path);
}

TEST_F(TargetPathTest, RefusesWhatDoesNotFit)
{
    static wchar_t saved[PathCapacity];
    wcscpy(saved, gameRoot);
    for (uint32_t i = 0; i < PathCapacity - 1; ++i) {
        gameRoot[i] = L'a';
    }
    gameRoot[PathCapacity - 1] = 0;
    wchar_t path[TargetPathCapacity];
    std::wstring longest(NameBufferUnits - 1, L'n');
    EXPECT_TRUE(MakeTargetPath(path, longest.c_str(), 0xFFFFFFFFu));
    EXPECT_EQ(TargetPathCapacity - 1, wcslen(path));
    std::wstring tooLong(NameBufferUnits, L'n');
    EXPECT_FALSE(MakeTargetPath(path, tooLong.c_str(), 0xFFFFFFFFu));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateTargetFile(tooLong.c_str()));
    wcscpy(gameRoot, saved);
}

class ProgressBarTest : public GameFolderTest {};

TEST_F(ProgressBarTest, RiseOfOneStepsAndLargerRisesMoveByTheRise)
{
    BarWindow bar(false);
    progressDivisor = 100;
    progressBytes = 350;
    RefreshProgressBar();
    progressBytes = 520;
    RefreshProgressBar();
    progressBytes = 599;
    RefreshProgressBar();
    progressBytes = 600;
    RefreshProgressBar();
    ASSERT_EQ(3u, barMessages.size());
    EXPECT_EQ((UINT)PBM_DELTAPOS, barMessages[0].message);
    EXPECT_EQ(3u, barMessages[0].wParam);
    EXPECT_EQ((UINT)PBM_DELTAPOS, barMessages[1].message);
    EXPECT_EQ(2u, barMessages[1].wParam);
    EXPECT_EQ((UINT)PBM_STEPIT, barMessages[2].message);
    EXPECT_EQ(6, progressPercent);
}

TEST_F(ProgressBarTest, RealBarEndsFullForTinyAndOddPayloads)
{
    // total bytes, divisor as the worker fixes it (total / 100)
    for (uint64_t total : {7ull, 99ull, 199ull, 5000ull, 10000ull, 123457ull}) {
        BarWindow bar(true);
        progressBytes = 0;
        progressPercent = 0;
        progressDivisor = (int32_t)(total / 100);
        while (progressBytes < total) {
            uint64_t piece = total - progressBytes < 4096 ? total - progressBytes : 4096;
            progressBytes += piece;
            RefreshProgressBar();
            EXPECT_GT(bar.position(), 0) << total;  // never wrapped back to the start
        }
        EXPECT_EQ(100, bar.position()) << total;
        EXPECT_EQ(100, progressPercent) << total;
    }
}

// Installed beneath the replying procedure: holds each move until the sending thread is back from
// its send, as a long repaint would hold it.
HANDLE senderReturned;
WNDPROC realBarProc;
int movesTakenAfterReturn;

LRESULT CALLBACK HoldingBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam)
{
    if ((message == PBM_STEPIT || message == PBM_DELTAPOS) &&
        WaitForSingleObject(senderReturned, 60000) == WAIT_OBJECT_0)
        ++movesTakenAfterReturn;
    return CallWindowProcW(realBarProc, bar, message, wParam, lParam);
}

DWORD WINAPI AddAndRefresh(LPVOID bytes)
{
    progressBytes += (uintptr_t)bytes;
    RefreshProgressBar();
    SetEvent(senderReturned);
    return 0;
}

TEST_F(ProgressBarTest, MoveSentByTheWorkerReturnsBeforeTheBarTakesIt)
{
    BarWindow bar(true);
    realBarProc = (WNDPROC)SetWindowLongPtrW(bar.bar, GWLP_WNDPROC, (LONG_PTR)HoldingBarProc);
    ReplyToBarMovesFirst(bar.bar);
    progressDivisor = 100;
    progressBytes = 0;
    progressPercent = 0;
    movesTakenAfterReturn = 0;
    // a step of one point, then a jump of three
    const struct {
        uintptr_t bytes;
        int position;
    } moves[] = {{100, 1}, {300, 4}};
    for (const auto &move : moves) {
        senderReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE worker = CreateThread(nullptr, 0, AddAndRefresh, (LPVOID)move.bytes, 0, nullptr);
        while (MsgWaitForMultipleObjects(1, &worker, FALSE, 20000, QS_ALLINPUT) ==
               WAIT_OBJECT_0 + 1) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&message);
        }
        CloseHandle(worker);
        CloseHandle(senderReturned);
        EXPECT_EQ(move.position, bar.position());
    }
    EXPECT_EQ(2, movesTakenAfterReturn);
}

TEST_F(ProgressBarTest, NoDialogIsHarmless)
{
    progressWindow = nullptr;
    progressDivisor = 0;
    progressBytes = 1;
    RefreshProgressBar();
    EXPECT_EQ(100, progressPercent);
}

}  // namespace
