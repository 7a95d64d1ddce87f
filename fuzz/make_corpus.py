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


def le16(v):
    return bytes([v & 0xFF, (v >> 8) & 0xFF])


def value(shape, count=0, seed=1):
    return bytes([shape]) + le16(count) + le16(seed)


EMPTY3 = value(0) * 3
START, STOP, READ_VALUE, READ_BLOCK, READ_ELEMENT, WRITE_VALUE, WRITE_BLOCK, WRITE_ELEMENT = range(8)
BITS, WORDS, FLOATS, ERROR_REGISTER = 0, 1, 2, 6


def call(which, handle=0, log=0):
    return bytes([which | (log << 3) | (handle << 5)])


def tag(kind, station, address, count, offset=0, write_count=0):
    out = bytes([kind, station]) + le16(address) + le16(count)
    out += bytes([offset]) if offset < 0xFF else b"\xff" + le16(offset)
    out += bytes([write_count]) if write_count < 0xFF else b"\xff" + le16(write_count)
    return out


def exports(config, values, calls, *segments):
    ops = values + calls
    return bytes([config, len(ops)]) + ops + b"".join(segments)


ack = frame(1, 0, [])
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
    "exports": {
        "read_value_word": exports(0x08, EMPTY3, call(START) + call(READ_VALUE) + tag(WORDS, 1, 0x10, 1),
                                   seg(frame(1, 0, [0x34, 0x12]))),
        "read_block_words": exports(0x08, EMPTY3, call(START) + call(READ_BLOCK, 1) + tag(WORDS, 1, 0x10, 2),
                                    seg(two_words)),
        "read_block_bits_two_chunks": exports(0x00, EMPTY3, call(START) + call(READ_BLOCK) + tag(BITS, 3, 0x50, 300),
                                              seg(frame(3, 0, [1] * 249)), seg(frame(3, 0, [0, 5] * 25 + [1]))),
        "read_element_float": exports(0x04, EMPTY3, call(START) + call(READ_ELEMENT, 2) + tag(FLOATS, 2, 0x20, 8, 5),
                                      seg(frame(2, 0, [0, 0, 0x80, 0x3F]))),
        "write_value_float": exports(0x08, value(4, 0, 7) + value(0) * 2,
                                     call(START) + call(WRITE_VALUE) + tag(FLOATS, 1, 0x30, 1), seg(ack)),
        "write_block_words": exports(0x08, value(0) + value(6, 4, 9) + value(0),
                                     call(START) + call(WRITE_BLOCK, 1) + tag(WORDS, 1, 0x200, 4), seg(ack)),
        "write_block_bits_two_chunks": exports(0x08, value(5, 260, 3) + value(0) * 2,
                                               call(START) + call(WRITE_BLOCK) + tag(BITS, 1, 0, 260),
                                               seg(ack), seg(ack)),
        "write_element_scalar_to_array": exports(0x08, value(0) * 2 + value(7 | 8, 10, 4),
                                                 call(START) + call(WRITE_ELEMENT, 2) + tag(FLOATS, 1, 0xFFFE, 1, 3),
                                                 seg(ack)),
        "write_block_refused": exports(0x08, value(7, 300, 5) + value(0) * 2,
                                       call(START) + call(WRITE_BLOCK) + tag(FLOATS, 1, 0, 300, 0, 300)),
        "read_block_refused": exports(0x08, EMPTY3, call(START) + call(READ_BLOCK) + tag(WORDS, 1, 0, 501)),
        "failed_read_then_register": exports(0x08, value(2, 0, 3) + value(0) * 2,
                                             call(START) + call(READ_VALUE) + tag(WORDS, 1, 0, 1) +
                                             call(READ_VALUE, 1) + tag(ERROR_REGISTER, 1, 2, 1),
                                             seg(frame(1, 0x81, []))),
        "rs485_read_words": exports(0x09, EMPTY3, call(START) + call(READ_BLOCK) + tag(WORDS, 7, 0x40, 2),
                                    seg(frame(7, 0, [1, 2, 3, 4]))),
        "radio_write_floats": exports(0x0A, value(7 | 8, 3, 2) + value(0) * 2,
                                      call(START) + call(WRITE_BLOCK) + tag(FLOATS, 2, 0x40, 3), seg(frame(2, 0, []))),
        "no_start": exports(0x08, EMPTY3, call(READ_VALUE) + tag(WORDS, 1, 0, 1) + call(WRITE_VALUE) + tag(BITS, 1, 0, 1)),
        "bad_settings": exports(0x88, value(3, 0, 5) + value(0) * 2,
                                call(START) + call(READ_VALUE) + tag(WORDS, 1, 0, 1) + call(WRITE_VALUE) +
                                tag(WORDS, 1, 0, 1) + call(READ_VALUE, 1) + tag(ERROR_REGISTER, 1, 1, 1),
                                seg(two_words)),
        "port_absent": exports(0x28, EMPTY3, call(START) + call(READ_VALUE) + tag(WORDS, 1, 0, 1), seg(two_words)),
        "restart_stop_read": exports(0x08, EMPTY3, call(START) + call(START) + call(STOP) +
                                     call(READ_BLOCK) + tag(WORDS, 1, 0, 2), seg(two_words)),
        "logged_calls": exports(0x08, value(6, 2, 1) + value(0) * 2,
                                call(START, 0, 1) + call(WRITE_BLOCK) + tag(WORDS, 1, 0, 2) +
                                call(READ_BLOCK) + tag(WORDS, 1, 0, 2) + call(STOP) + call(START, 0, 2) +
                                call(READ_VALUE, 1) + tag(7, 1, 0, 1), seg(ack), seg(two_words)),
        "bad_station": exports(0x08, EMPTY3, call(START) + call(READ_VALUE) + tag(WORDS, 0xFF, 0, 1)[:2] +
                               le16(0x0101) + tag(WORDS, 1, 0, 1)[2:], seg(two_words)),
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
