#include <gtest/gtest.h>

#include "api/idc_manager.h"
#include "api/reader_registry.h"
#include "fake_hid.h"
#include "infra/reader_comm.h"
#include "readers/family_a/hid_reader_a.h"
#include "readers/family_b/hid_reader_b.h"
#include "support/test_env.h"

namespace {
using Ids = std::vector<std::pair<int, int>>;
Ids operator+(Ids a, const Ids& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const std::string kUsb = "[CardReaderType]\nCardReaderType=6\n[USB]\nVID=4660\nPID=22136\n";
} // namespace

TEST(HidReaderB, ExchangeAssemblesTheReplyFromReports) {
    TestEnv env(kUsb);
    FakeHid hid;
    hid.vid = 4660, hid.pid = 22136;
    OReaderComm comm{nullptr, "CARDREADER"};
    OHidReaderB reader(&comm);
    tDevReturn r = Rec();
    ASSERT_EQ(0, reader.SetCommPara(&r));

    std::string long200 = "P1100";
    while (long200.size() < 200)
        long200 += static_cast<char>('A' + long200.size() % 26);
    struct Row {
        std::string reply; // empty: silence
        int code;
        std::string data;
        size_t reads;
    } rows[] = {
        {"P1100abcde", 1201, "abcde", 1},
        {long200, 1201, long200.substr(5), 4},
        {"N1130", 1291, "", 1},
        {"", 1223, "", 1},
        {"P11", 1223, "", 1},                              // shorter than the header
        {"P1100" + std::string(65530, 'x'), 1223, "", 16}, // beyond the buffer
        {"P1100abcde", 1201, "abcde", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        hid.Answer(row.reply);
        hid.reads.clear();
        uint8_t data[1024] = {};
        uint32_t len = 99;
        r = Rec();
        EXPECT_EQ(row.code != 1201,
                  reader.iExecCommand(B("C11").data(), 0x20003, data, sizeof data, &len, &r, 5000));
        EXPECT_EQ(row.code, r.iCode2);
        EXPECT_EQ(row.data, std::string(data, data + len));
        const std::string header = row.code == 1223 ? std::string(5, 7) : row.reply.substr(0, 5);
        EXPECT_EQ(header, std::string(r.acReplyText, 5));
        EXPECT_EQ(Cat({B({4, 0, 3}), B("C11"), Bytes(58)}), hid.writes.back());
        ASSERT_EQ(row.reads, hid.reads.size()); // 64 bytes further into the buffer each
        for (size_t k = 0; k < row.reads; ++k)
            EXPECT_EQ(std::make_pair(size_t{1024 - 64 * k}, 5000u), hid.reads[k]);
    }
}

TEST(HidDrivers, SetCommParaSearchesTheConfiguredIdsAgainAndAgain) {
    struct Row {
        bool a;
        std::string ini;
        Ids ids; // searched by each SetCommPara
        int result;
    } rows[] = {
        {true, "", {{0x04A4, 0x008B}}, 1},
        {true, "[CardReaderType]\nCardReaderType=4\n", {{0x04A4, 0x008B}}, 1},
        {true, "[CardReaderType]\nCardReaderType=5\n", {{0x0590, 0x0035}}, 0},
        {false, "", {{0, 0}}, 1},
        {false, kUsb, {{4660, 22136}}, 0},
        {false, "[CardReaderType]\nCardReaderType=2\n[USB]\nVID=4660\n", {}, 0}, // the lookup's
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ini);
        TestEnv env(row.ini);
        FakeHid hid;
        hid.vid = row.a ? 0x0590 : 4660, hid.pid = row.a ? 0x0035 : 22136;
        {
            OReaderComm comm{nullptr, "CARDREADER"};
            std::unique_ptr<OIdcDriver> reader;
            reader.reset(row.a ? static_cast<OIdcDriver*>(new OHidReaderA(&comm))
                               : new OHidReaderB(&comm));
            tDevReturn r = Rec();
            EXPECT_EQ(1, reader->EjectCard(&r)); // nothing open yet
            EXPECT_EQ(1223, r.iCode2);
            r = Rec();
            EXPECT_EQ(row.result, reader->SetCommPara(&r));
            EXPECT_EQ(row.result, reader->SetCommPara(&r)); // the transport closes the first
            EXPECT_TRUE(Untouched(r));
            EXPECT_EQ(row.ids + row.ids, hid.opens);
            EXPECT_EQ(1, hid.made);
        }
        EXPECT_EQ(0, hid.alive); // released with the driver
    }
}

TEST(HidReaderB, SelectedByTypeSixThroughTheManager) {
    TestEnv env(kUsb);
    FakeHid hid;
    hid.vid = 4660, hid.pid = 22136;
    hid.Answer("P3000");
    OIdcManager manager;
    tDevReturn r = Rec();
    EXPECT_EQ(0, manager.SetCommPara(&r));
    EXPECT_EQ(manager.pRegistry()->pDriverForType(6), manager.pActiveDriver());
    EXPECT_EQ((Ids{{4660, 22136}}), hid.opens);
    EXPECT_EQ(0, manager.EjectCard(&r));
    EXPECT_EQ(1201, r.iCode2);
    EXPECT_EQ((std::vector<std::string>{"C30"}), hid.Sent());
    EXPECT_EQ(4, hid.writes[0][0]);
}
