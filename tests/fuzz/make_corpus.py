#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: tests/fuzz/corpus/<target>/.

Every command code has a seed in each target, so the fuzzer starts from a well-formed request
of every kind. Run it again after changing the input layout of a target (see the comments at
the top of fuzz_request.cpp and fuzz_data.cpp).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = 0xCAFE


def request(code, word2=0, word3=0, extra=()):
    words = (MAGIC, code, word2, word3) + tuple(extra)
    return struct.pack(">%dH" % len(words), *words)


def framed(datagram):
    return struct.pack(">H", len(datagram)) + datagram


# A request of every code with a payload its handler reads: (name, code, word 2, word 3).
REQUESTS = [
    ("code00_unknown", 0, 0, 0),
    ("code01_configure_stream", 1, 0x0110, 0x0400),
    ("code02_hold_delay", 2, 0x0100, 0x0020),
    ("code03_bias", 3, 0x0100, 0x0030),
    ("code04_mbias", 4, 0x0100, 0x0040),
    ("code05_ctw", 5, 0x0100, 0x0005),
    ("code06_no_action", 6, 0, 0),
    ("code07_config", 7, 0x0100, 0x1234),
    ("code08_readout_mode", 8, 0x0104, 0x0003),
    ("code09_trigger_type", 9, 0x0100, 0x0001),
    ("code10_daq_start", 10, 0xFF00, 0x0001),
    ("code11_discovery", 11, 0, 0),
    ("code12_unknown", 12, 0, 0),
    ("code139_reply_code", 0x8B, 0, 0),
    ("code255_unknown", 0xFF, 0, 0),
]

# Data path set-ups: (name, chip type byte, commands, cycles).
DATA = [
    ("mode1_all_channels", 1, [request(8, 0x0101, 0)], [255, 0, 0, 4]),
    ("mode2_hit_channel", 1, [request(8, 0x0102, 0), request(8, 0x0202, 0)], [255, 0, 0]),
    ("mode4_neighbours", 1, [request(8, 0x0104, 3), request(8, 0x0304, 0)], [255, 0, 0]),
    ("mode4_many_neighbours", 2, [request(8, 0x0104, 0xFFFF)], [255, 0]),
    ("mode0_no_payload", 1, [request(8, 0x0100, 0)], [255, 0]),
    ("ktm_chips", 2, [request(1, 0x0120, 0x0300), request(1, 0x0220, 0x0100)], [255, 255, 0]),
    ("zero_chips", 1, [request(1, 0x0110, 0x0000)], [255, 0]),
    ("many_chips", 1, [request(1, 0x0110, 0xFF00)], [255, 255, 255, 0]),
    ("chip_type_change", 1, [request(1, 0x0120, 0x0200)], [255, 0, 0, 0]),
    ("run_start_stop", 1, [request(10, 0x0100, 1), request(10, 0xFF00, 0)], [255, 0]),
]


def write(target, name, content):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as seed:
        seed.write(content)


def main():
    discovery = framed(request(11))
    for name, code, word2, word3 in REQUESTS:
        # Mask 0x0F (four hybrids), chip type 1, a discovery, then the request.
        write("request", name, bytes([0x0F, 1]) + discovery + framed(request(code, word2, word3)))
        # The same request alone, before any discovery, on one hybrid of the other chip type.
        write("request", name + "_no_peer", bytes([0x01, 2]) + framed(request(code, word2, word3)))
        # Mask, chip type, efficiency 1.0, one command, then three trigger cycles.
        write("data", name,
              bytes([0x0F, 1, 255, 1]) + framed(request(code, word2, word3)) + bytes([255, 0, 0]))
    write("request", "short_and_odd", bytes([0x03, 1]) + framed(b"\xca") + framed(b"\xca\xfe\x00")
          + framed(request(10, 0x0100, 1) + b"\x01") + framed(b""))
    write("request", "largest", bytes([0x0F, 1]) + framed(request(7) + bytes(8192 - 8)))
    for name, chip, commands, cycles in DATA:
        body = b"".join(framed(c) for c in commands)
        write("data", name, bytes([0x0F, chip, 255, len(commands)]) + body + bytes(cycles))


if __name__ == "__main__":
    main()
