#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/ (layouts: fuzz_line.h and
the head comment of each target)."""
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))


def checksum(body):
    return (~sum(body)) & 0xFFFF


def frame(station, status, data):
    body = bytes([station, len(data), status]) + bytes(data)
    s = checksum(body)
    return b"\x5a" + body + bytes([s & 0xFF, s >> 8])


def seg(data, delay_steps=1, error=0, gap=0):
    return bytes([len(data), (error << 5) | delay_steps, gap]) + data


def response(op, station, address, count, attempts, *segments):
    head = bytes([op, station, address & 0xFF, address >> 8, count & 0xFF, count >> 8, attempts - 1])
    return head + b"".join(segments)


def modem(op, window, fast, connect, disc, sent, *segments):
    head = bytes([op, window, fast, connect, disc])
    if op <= 3:
        head += bytes([len(sent)]) + sent
    return head + b"".join(segments)


two_words = frame(1, 0, [0x34, 0x12, 0xCD, 0xAB])
bad = bytearray(two_words)
bad[-1] ^= 1
seeds = {
    "response": {
        "read_two_words": response(1, 1, 0x10, 2, 3, seg(two_words)),
        "bad_checksum_then_good": response(1, 1, 0x10, 2, 3, seg(bytes(bad)), seg(two_words)),
        "stray_bytes_first": response(0x41, 1, 0x10, 2, 3, seg(b"\x00\xff\x13", 0),
                                      seg(b"\x11" + two_words)),
        "rs485_write_words": response(0x0D, 7, 0x200, 3, 3, seg(frame(7, 0, []))),
        "radio_read_floats": response(0x12, 2, 0, 1, 2, seg(frame(2, 0, [0, 0, 0x80, 0x3F]), 2, 0, 3)),
        "bits_two_chunks": response(0, 3, 0x50, 300, 1, seg(frame(3, 0, [1] * 249)),
                                    seg(frame(3, 0, [0] * 51))),
        "controller_status": response(1, 1, 0, 1, 3, seg(frame(1, 0x81, []))),
        "slow_bytes": response(1, 1, 0, 2, 3, seg(two_words, 3, 0, 15)),
        "framing_error": response(1, 1, 0, 2, 3, seg(two_words, 1, 3), seg(two_words)),
        "silence": response(1, 1, 0, 2, 3),
    },
    "settings": {
        "minimal": b"[PC_PORT_SESSION]\npcpsPort=2\n",
        "modem": b"[PC_PORT_SESSION]\r\npcpsModemSuport=1\r\npcpsModemPort=3\r\n"
                 b"pcpsAutoConnect=1\r\npcpsPhone=\"5551234\"\r\npcpsBaud=0x2580\r\n",
        "server": b"[pc_port_session]\npcpsbaud=19200\n[PC_SERVER_SESSION]\nM_USE_VKT_SERVER=1\n"
                  b"M_SERVER_PORT=7000\nM_VKT_SERVER_FILE=srv\nM_VKT_SERVER_CLASS=c\n",
        "too_long": b"[PC_PORT_SESSION]\npcpsModemInitString=" + b"i" * 31 + b"\n",
        "junk": bytes(range(256)),
    },
    "modem": {
        "numeric_ok": modem(0, 0, 100, 0, 0, b"ATZ", seg(b"0\r")),
        "echo_word_ok": modem(1, 0, 100, 0, 0, b"ATZ", seg(b"ATZ\r\r\nOK\r\n")),
        "two_replies": modem(2, 2, 100, 0, 0, b"", seg(b"\r\n3\r\nCONNECT 9600\r\n")),
        "command": modem(3, 0, 100, 0, 0, b"AT", seg(b"0\r")),
        "dial": modem(4, 0, 100, 250, 0, b"", seg(b"0\r"), seg(b"0\r"), seg(b"12\r")),
        "dial_busy": modem(4, 0, 100, 250, 0, b"", seg(b"0\r"), seg(b"0\r"), seg(b"7\r")),
        "hangup": modem(5, 0, 100, 0, 250, b"", seg(b""), seg(b"0\r"), seg(b"0\r")),
        "hangup_no_exit_reply": modem(5, 0, 100, 0, 100, b"", seg(b""), seg(b""), seg(b"0\r")),
        "open_dials": modem(6, 0, 100, 250, 100, b"", seg(b"0\r"), seg(b"0\r"), seg(b"1\r"),
                            seg(b""), seg(b"0\r"), seg(b"0\r")),
        "close_hangs_up": modem(7, 0, 100, 0, 100, b"", seg(b""), seg(b"0\r"), seg(b"0\r")),
    },
}

for target, files in seeds.items():
    folder = os.path.join(HERE, "corpus", target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
shutil.copy(os.path.join(HERE, "..", "examples", "VktJX.Cfg"),
            os.path.join(HERE, "corpus", "settings", "example"))
