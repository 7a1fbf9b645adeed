#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<name>/.

The targets that take the bytes as they come (report_descriptor: a HID
report descriptor; xfs4iot_message: one WebSocket message) keep their seeds
as plain files in their corpus folders; this script writes the others.

A reader target's input is a stream read front to back (fuzz_support.h):
configuration keys, the HID device byte, then per operation an op byte and
its arguments, and for every write of the library one answer selector:
  0 silence, 1 proper answer, 4 raw bytes (length, bytes), ...
A proper reply to a request is: kind byte (0 'P', 2 'N'), status index
(0 "00"), data length (one byte below 0xC0, else two), data.
The seeds script transactions a well-behaved reader answers, and inject the
frames of the reader documentation verbatim as raw answers. Run it again
after changing the input format.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

OPS = dict(Init=0, GetStatus=1, AcceptCard=2, ChipIO=3, ChipPower=4, EjectCard=5,
           GetCapabilities=6, GetLifeInfo=7, ReadTrack=8, Reset=9, ResetCount=10,
           RetainCard=11, ReleaseAntiFishing=12, WriteTrack=13, SetCommPara=14)


def small(v):  # SmallInt: byte % 10 - 1
    return bytes([(v + 1) % 10])


def data_len(n):
    return bytes([n]) if n < 0xC0 else bytes([0xC0 | (n >> 8), n & 0xFF])


def reply(data=b"", kind=0, status=0):
    return bytes([1, kind, status]) + data_len(len(data)) + data


def ack():
    return bytes([1])


def raw(frame):
    return bytes([4, len(frame)]) + frame


def serial_a(data=b"", **kw):  # frame acknowledged, reply to the request
    return ack() + reply(data, **kw)


def config(type_byte=b""):
    # no family keys, VID 0x04A4, PID 0x008B
    return type_byte + b"\x00" + struct.pack(">HH", 0x04A4, 0x008B)


def dev(present=True):
    return bytes([0x00 if present else 0x80])


def write(name, target, content):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(content)


def op(name, *args):
    return bytes([OPS[name]]) + b"".join(args)


# Data the readers send in the documentation's examples.
TRACKS_A = b"0" + b"000000" + b"037" + b"010" + b"005" + b"1" * 37 + b"2" * 10 + b"3" * 5
CV0_A = b"HBU-NA053" + b" " * 43 + b"V2"
SENSORS = b"0000100110"
ATR = bytes([0x3B, 0x6E, 0x00, 0x00, 0x80, 0x31])


def family_a():
    t = "family_a"
    base = config() + dev()
    write("init", t, base + op("Init", small(1)) + serial_a() + serial_a(b"123") +
          serial_a(CV0_A) + b"\x00" * 8)
    write("status", t, base + op("GetStatus") + serial_a(SENSORS) + serial_a())
    write("read_track", t, base + op("ReadTrack") + serial_a(TRACKS_A))
    write("read_track_dle", t, base + op("ReadTrack") + serial_a(b"0000000003000000\x10\x03\x10"))
    write("write_track", t, base + op("WriteTrack") + b"1234" + b"\x00" * 225 +
          bytes([4, 0, 0]) + serial_a())
    write("chip", t, base + op("ChipPower", small(1), b"\x00") + serial_a() + serial_a(ATR) +
          op("ChipIO", b"\x00\x00\x05", b"\x00\xA4\x04\x00\x00", small(0)) + serial_a(b"\x90\x00"))
    write("accept_module", t, base + op("AcceptCard", small(6)) + ack() +
          bytes([1, 0]) + data_len(4) + b"1100" + serial_a())
    write("life", t, base + op("GetLifeInfo") + serial_a(b"00000123" * 16))
    write("retain", t, base + op("RetainCard") + serial_a() + serial_a(b"007"))
    # refused twice, then taken; a negative reply; silence
    write("refused", t, base + op("EjectCard") + raw(b"\x15\x15") + raw(b"\x10\x15") +
          serial_a(kind=2, status=5))
    write("silent", t, base + op("EjectCard") + b"\x00")
    # the module's frames as the documentation quotes them
    write("module_frames", t, base + op("Init", small(1)) + serial_a() + serial_a(b"123") +
          serial_a(CV0_A) + bytes([1]) + raw(bytes.fromhex("020003463031034 5".replace(" ", ""))))


def family_b():
    t = "family_b"

    def reply(*args, **kw):  # the host acknowledges every reply: a silent answer to that
        return globals()["reply"](*args, **kw) + b"\x00"

    base = config() + dev()
    fw = b"ICT3Q8-3A0179"
    write("init", t, base + op("Init", small(1)) + reply() + reply(fw) + reply(b"20240101") +
          reply())
    write("status", t, base + op("GetStatus") + reply(b"00"))
    write("read_track", t, base + op("ReadTrack") +
          reply(b"1" * 37 + b"~" + b"2" * 10 + b"~" + b"3" * 5) + reply(b"111"))
    write("chip", t, base + op("ChipPower", small(1), b"\x00") + reply(b"0" + ATR) +
          op("ChipIO", b"\x00\x00\x05", b"\x00\xA4\x04\x00\x00", small(0)) + reply(b"\x90\x00"))
    write("life", t, base + op("GetLifeInfo") + reply(bytes(range(44))))
    write("nak", t, base + op("EjectCard") + raw(b"\x15"))
    write("bad_crc", t, base + op("EjectCard") + raw(bytes.fromhex("06f200055031313030" "0000")))
    # the command frame of "C11" as the documentation quotes it, sent back
    write("quoted_c11", t, base + op("GetStatus") + raw(bytes.fromhex("06f2000343313" "1d50b")))
    write("negative", t, base + op("AcceptCard", small(1)) + reply(kind=2, status=13))


def family_c():
    t = "family_c"
    base = config() + dev()
    # "10" answered as the documentation quotes it: P to "10", no data
    p10 = bytes.fromhex("0200035031300353")
    write("init", t, base + op("Init", small(1)) + ack() + bytes([1]) + raw(p10))
    write("quoted_reply", t, base + op("GetStatus") + ack() + raw(p10))
    write("status", t, base + op("GetStatus") + ack() + reply(b"0"))
    write("read_track", t, base + op("ReadTrack") + ack() + reply(b"1" * 37) + ack() +
          reply(b"2" * 10) + ack() + reply(b"3" * 5))
    write("chip", t, base + op("ChipPower", small(1), b"\x00") + ack() + reply(ATR) +
          op("ChipIO", b"\x00\x00\x02", b"\xAA\xBB", small(0)) + ack() + reply(b"\x90\x00"))
    write("negative", t, base + op("GetStatus") + ack() + bytes([1, 2, 1, 0x31]))
    write("bad_bcc", t, base + op("EjectCard") + ack() + bytes([1]) + raw(p10[:-1] + b"\x00"))
    write("silent", t, base + op("EjectCard") + b"\x00")


def hid(t, type_byte):
    base = type_byte + config() + dev()
    write("init", t, base + op("Init", small(1)) + reply() + reply(b"123") + reply(CV0_A))
    write("status", t, base + op("GetStatus") + reply(SENSORS) + reply())
    write("read_track", t, base + op("ReadTrack") + reply(TRACKS_A) + reply(b"1" * 37) +
          reply(b"2" * 10) + reply(b"3" * 5))
    write("long_reply", t, base + op("GetLifeInfo") + reply(bytes(200)))
    write("late", t, base + op("EjectCard") + b"\x00" + op("EjectCard") + reply() + reply())
    write("odd_reports", t, type_byte + config() + b"\x34" + op("GetStatus") + reply(SENSORS))
    write("absent", t, type_byte + config() + dev(False) + op("GetStatus"))


def config_store():
    t = "config"
    sel = bytes([1, 1]) + struct.pack(">i", 5)  # CardReaderType/CardReaderType = 5
    write("plain", t, sel + b"[CARDREADER]\nPort=/dev/ttyUSB0\n[CardReaderType]\nCardReaderType=1\n")
    write("crlf_comment", t, sel + b"; kiosk\r\n[cardreadertype]\r\n CardReaderType = 2 ; set\r\n")
    write("no_eol", t, sel + b"[USB]\nVID=0x04A4")
    write("missing", t, bytes([7, 8]) + struct.pack(">i", -1) + b"[USB]\nVID=1\n\n[Dtr]\nDtr=1\n")
    write("names", t, bytes([0xC3, 1, 2, 3, 0xC1, 4, 5]) + struct.pack(">i", 0x7FFFFFFF) + b"[a]\nb=1\n")


def exports():
    t = "exports"
    step = lambda name, *a: b"\x00" + op(name, *a)
    for typ, name in ((0, "a"), (1, "b"), (2, "c"), (3, "hid_a"), (5, "hid_b")):
        base = bytes([typ]) + b"\x00" + struct.pack(">HH", 0x04A4, 0x008B) + dev()
        body = step("SetCommPara") + serial_a(SENSORS) + serial_a() + step("GetStatus") + \
            serial_a(SENSORS) + step("ReadTrack") + serial_a(TRACKS_A) + step("EjectCard") + \
            serial_a()
        write("session_" + name, t, base + body)
    base = bytes([0]) + b"\x00" + struct.pack(">HH", 0, 0) + dev()
    write("names", t, base + b"\xe1" + b"\xe2\x05ABCDE" + b"\xe1" + b"\xe0" + step("GetStatus"))
    write("before_open", t, base + step("Init", small(1)) + step("ChipPower", small(1), b"\x07"))
    write("write_track", t, base + step("SetCommPara") + serial_a(SENSORS) + serial_a() +
          step("WriteTrack") + b"1234" + b"\x00" * 225 + bytes([4, 0, 0]) + small(1) + serial_a())


if __name__ == "__main__":
    family_a()
    family_b()
    family_c()
    hid("hid_a", b"\x00")
    hid("hid_b", b"")
    config_store()
    exports()
