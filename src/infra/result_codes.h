// Library result codes and their split into success and failure.
//
// A code with a meaning of its own across the library carries that meaning
// as its name. A code that only a reader's reply produces, and that no part
// of the library treats in a way of its own, is named after the reply that
// gives it: ReplyP.. / ReplyN.. after family A's kind and status characters,
// ReplyBN.. after family B's where family A has no such reply, StateC.. after
// family C's status byte. Each comment lists the replies that give the code
// (A: family A, B: family B, C: family C's error byte or status byte, M: the
// auxiliary module's error byte).
#pragma once

namespace quillon {

enum class Code : int {
    Ok = 0,                    ///< success with nothing more to tell: port opened, C positive reply
    Positive = 1201,           ///< the reader's normal positive reply: A/B P"00", C status '5'
    ReplyP01 = 1202,           ///< A/B P"01", C status '1'
    CardInside = 1203,         ///< a card is inside the reader: A/B P"02", C status '2' or '4'
    ReplyP04 = 1204,           ///< A P"04"
    StateC0 = 1205,            ///< C status '0'
    ReplyP10 = 1206,           ///< A P"10"
    ReplyP11 = 1207,           ///< A P"11", C status '3'
    ReplyP20 = 1208,           ///< A P"20"
    MoreData = 1209,           ///< A P"21": the chip's reply goes on, "CF3" fetches the rest
    ReplyP22 = 1210,           ///< A P"22"
    ReplyP23 = 1211,           ///< A P"23": a positive reply that counts as failure
    ReplyP30 = 1212,           ///< A P"30"
    ReplyP31 = 1213,           ///< A P"31"
    StateC6 = 1214,            ///< C status '6' (failure class)
    ReplyBN03 = 1215,          ///< B N"03"
    AntiFishingRefused = 1216, ///< family A cannot release the anti-fishing lock
    UnknownReply = 1221,       ///< reply not recognised by the family's reply-code map
    BrokenFrame = 1222,        ///< reply frame unusable (start byte, check, kind, or too long)
    CommFailed = 1223,         ///< connection not opened, or a command not sent
    BadArgument = 1224,        ///< argument refused; A: a frame refused three times; M/C 0x01
    NoAck = 1225,              ///< no acknowledgement
    BadAck = 1226,             ///< wrong acknowledgement, or none at all (C, M)
    ReplyN70 = 1227,           ///< A N"70", N"72"
    ReplyN71 = 1228,           ///< A N"71"
    ReplyN47 = 1230,           ///< A N"47"
    ReplyN4A = 1231,           ///< A N"4A", M 0x04
    ReplyBN06 = 1232,          ///< B N"06"
    ReplyBN25 = 1233,          ///< B N"25", N"29"
    ReplyBN45 = 1234,          ///< B N"45"
    TrackDataWithError = 1235, ///< B N"53": the reply still carries the track's data
    ReplyBNB0 = 1236,          ///< B N"B0"
    ReplyN1E = 1237,           ///< A N"1E", N"1F"; B N"55"
    ReplyN1G = 1238,           ///< A N"1G"; B N"54"
    ReplyBN19 = 1239,          ///< B N"19", C 0x0E
    ReplyBN05 = 1240,          ///< B N"05"
    ReplyN20 = 1241,           ///< A N"20"; B N"13"; C 0x0C
    ReplyN21 = 1242,           ///< A N"21"; B N"14"; C 0x0D
    ReplyN32 = 1243,           ///< A N"32"; B N"16"
    ReplyN33 = 1244,           ///< A N"33"; B N"15"
    ReplyN40 = 1245,           ///< A N"40"; B N"26"
    ReplyN41 = 1246,           ///< A N"41"; B N"27"
    ReplyN42 = 1247,           ///< A N"42"; B N"20"
    ReplyN43 = 1248,           ///< A N"43"; B N"28"
    NoTrackData = 1249,        ///< no track could be read: A N"44", B N"24", A/C ReadTrack
    ReplyN45 = 1250,           ///< A N"45"; B N"23"
    NothingRead = 1251,        ///< A N"46", B N"21"; B's ReadTrack value when no track was read
    ReplyN49 = 1252,           ///< A N"49"
    ReplyN50 = 1253,           ///< A N"50" (N"51" to N"56" follow in order)
    ReplyN55 = 1258,           ///< A N"55"; B N"22"
    ReplyN60 = 1260,           ///< A N"60" (N"61" to N"64" follow in order); B N"40"
    ReplyN61 = 1261,           ///< A N"61"; M 0x80
    ReplyBN48 = 1265,          ///< B N"48"
    NotSupported = 1266, ///< not supported: A/B N"00", C/M 0x00, family C's missing operations
    Unavailable = 1267,  ///< no device manager, or chip type / mode not supported; A N"01",
                         ///< B N"01"/N"02", C 0x03/0x04, M 0x03
    Refused = 1268,      ///< A N"02", B N"04", C/M 0x02; the track writers' value for no data
    ReplyN80 = 1269,     ///< A N"80"
    ReplyN82 = 1270,     ///< A N"82"; B N"60"
    ReplyN84 = 1271,     ///< A N"84"
    ReplyN85 = 1272,     ///< A N"85"
    ChipFailed = 1273,   ///< chip failure or unknown chip: A N"87", B N"62", C chip errors
    ReplyN86 = 1274,     ///< A N"86"
    ReplyBN61 = 1275,    ///< B N"61"; C 0x21, 0x30
    ReplyBN63 = 1276,    ///< B N"63", N"64"; C 0x22 to 0x24, 0x31 to 0x33
    ReplyBN65 = 1278,    ///< B N"65"
    ReplyBN66 = 1279,    ///< B N"66", N"69"
    ReplyN03 = 1282,     ///< A N"03"
    ReplyN10 = 1283,     ///< A/B N"10" (A: N"11" to N"19" follow in order); C 0x0A
    ReplyN11 = 1284,     ///< A/B N"11"; C 0x0B
    ReplyN12 = 1285,     ///< A/B N"12"; C 0x08
    ReplyN13 = 1286,     ///< A N"13"; B N"51"
    ReplyN15 = 1288,     ///< A N"15"; B N"17"
    ResetAgain = 1291,   ///< the reader asks for the reset again: A N"18", B N"30", C 0x05-0x07
    ResetAgain2 = 1292,  ///< A N"19": the reader asks for the reset again as well
    ReplyN81 = 1293,     ///< A N"81"; B N"41"; C 0x50
    ReplyN88 = 1294,     ///< A N"88"
    ReplyBN18 = 1295,    ///< B N"18"
    ReplyBN43 = 1296,    ///< B N"43"
    RetainBusy = 1297,   ///< B N"50": retaining refused until "CC101"
    ReplyBN31 = 1298,    ///< B N"31"
    NoReply = 1299,      ///< a reply missing; M 0x81
};

constexpr int ToInt(Code eCode) {
    return static_cast<int>(eCode);
}

// Success class: 0, 1201..1210, 1212, 1213. Everything else fails (1211 too).
bool IsSuccess(Code eCode);
// 1225, 1226 and 1299: nobody of the probed family is on the line.
bool IsSilent(Code eCode);

// Thin wrappers for a code still carried as an int.
bool IsSuccessCode(int iCode);
bool IsSilentCode(int iCode);

// A code as a result record shows it: both code fields hold the code, both
// error flags the flag.
struct tOutcome {
    Code eCode = Code::Ok;
    int iFlag = 0;
};
// The outcome of a code by its class: flags 0 for the success class, else 1.
inline tOutcome OutcomeOf(Code eCode) {
    return {eCode, IsSuccess(eCode) ? 0 : 1};
}

} // namespace quillon
