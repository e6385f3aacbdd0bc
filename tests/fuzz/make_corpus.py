#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: tests/fuzz/corpus/<target>/.

Every command code has a seed in the module's targets (request, data), so the fuzzer starts
from a well-formed request of every kind; the wire forms (wire) and the fault relay
(faultrelay) start from each form and each option, well-formed and not; the capture reader
(capture) from each link type the reader knows and each way a file or record can be damaged,
beside three recorded sessions (session_mode*.pcap, from daqhost run --out). Run it again
after changing the input layout of a target (see the comment at the top of each
fuzz_<target>.cpp); scripts/fuzz --merge then minimises the corpus with what a campaign found.
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


class Provided:
    """An input as FuzzedDataProvider reads it: bytes and strings from the front, whole numbers
    from the back (the first one read is the last byte, most significant byte first)."""

    def __init__(self):
        self.front = b""
        self.back = []

    def number(self, value, size=1):
        self.back += list(value.to_bytes(size, "big"))
        return self

    def string(self, text):
        # A backslash and another character end a string of ConsumeRandomLengthString.
        self.front += text.replace(b"\\", b"\\\\") + b"\\ "
        return self

    def data(self, content):
        self.front += content
        return self

    def bytes(self):
        return self.front + bytes(reversed(self.back))


def ack(code, error=0, version=(2, 2, 4)):
    words = (MAGIC, 0x80 | code, 0xFF00, error, version[0], version[1] << 8 | version[2], 0,
             0xACAB)
    return struct.pack(">8H", *words)


def data_packet(mode, count, payload_words, stream=1):
    words = (MAGIC, stream << 8 | 14, count, 7, 0, 1000, 2, 25 << 4, stream << 8 | mode)
    words += tuple(payload_words) + (0xACAB,)
    return struct.pack(">%dH" % len(words), *words)


def wire_seeds():
    """fuzz_wire: one byte (read last) chooses the form; see fuzz_wire.cpp."""
    seeds = {}
    for name, code, word2, word3 in REQUESTS:
        # Fields: code, word 2, word 3, hybrid, chip type, chips, mode, nadj, start.
        fields = (Provided().number(0).number(code).number(word2, 2).number(word3, 2)
                  .number(word2 >> 8, 4).number(1, 4).number(4, 4).number(word2 & 0xF, 4)
                  .number(word3, 4).number(1))
        seeds["fields_" + name] = fields.bytes()
        seeds["request_" + name] = Provided().number(1).data(request(code, word2, word3)).bytes()
        # Code, error (each error text, from the word 3 of the request), version.
        seeds["ack_fields_" + name] = (Provided().number(2).number(code).number(code % 3, 2)
                                       .number(2).number(2).number(4).bytes())
        seeds["ack_" + name] = Provided().number(3).data(ack(code, word3)).bytes()
    seeds["ack_fields_unknown_command"] = (Provided().number(2).number(12).number(255, 2)
                                           .number(2).number(2).number(4).bytes())
    seeds["fields_code14_data"] = (Provided().number(0).number(14).number(0, 2).number(0, 2)
                                   .number(0, 4).number(0, 4).number(0, 4).number(0, 4)
                                   .number(0, 4).number(0)).bytes()
    seeds["request_short"] = Provided().number(1).data(request(10)[:6]).bytes()
    seeds["request_odd"] = Provided().number(1).data(request(8, 0x0104, 3) + b"\x01").bytes()
    seeds["request_high_code_byte"] = Provided().number(1).data(
        struct.pack(">5H", MAGIC, 0x3308, 0x0104, 3, 0xACAB)).bytes()
    seeds["ack_no_flag"] = Provided().number(3).data(ack(8)[:2] + b"\x00\x08" + ack(8)[4:]).bytes()
    seeds["ack_bad_hybrid"] = Provided().number(3).data(ack(8)[:4] + b"\x01\x00" + ack(8)[6:]).bytes()
    seeds["ack_no_trailer"] = Provided().number(3).data(ack(8)[:14] + b"\x00\x00").bytes()
    seeds["ack_long"] = Provided().number(3).data(ack(8) + b"\x00\x00").bytes()
    # The time value: a half (0 from the lowest double, 1 from 0) and a fraction of the largest
    # double to add: 0, the lowest, the largest.
    time_values = {0: (1, 0), 1: (0, 0), 2: (1, (1 << 64) - 1)}
    for mode in (0, 1, 2, 3, 4, 15):
        # Fields: id, mode, largest, channels, hit, neighbours, event, time stamp, time value.
        # 256 channels, hit 130, 3 neighbours; the largest packet takes neither count.
        half, fraction = time_values.get(mode, (1, 0))
        fields = Provided().number(4).number(1).number(mode).number(0).number(255, 2)
        fields.number(130).number(3, 2).number(9, 2).number(123456, 4).number(half)
        fields.number(fraction, 8)
        seeds["data_fields_mode%d" % mode] = fields.bytes()
        if mode in (1, 4):
            largest = Provided().number(4).number(1).number(mode).number(0xFF).number(130, 2)
            largest.number(9, 2).number(123456, 4).number(1).number(0, 8)
            seeds["data_fields_mode%d_largest" % mode] = largest.bytes()
    packets = {
        "mode1": data_packet(1, 4, range(2020, 2024)),
        "mode2": data_packet(2, 1, (5, 2500, 2500)),
        "mode4": data_packet(4, 1, (5, 2500, 2500, 6, 2030, 2031)),
        "mode0": data_packet(0, 9, ()),
        "short": data_packet(1, 4, range(4))[:18],
        "bad_magic": b"\xca\xfd" + data_packet(1, 4, range(4))[2:],
        "not_data": data_packet(1, 4, range(4))[:3] + b"\x0b" + data_packet(1, 4, range(4))[4:],
        "odd": data_packet(1, 4, range(4)) + b"\x00",
        "count_mismatch": data_packet(1, 5, range(4)),
        "no_trailer": data_packet(1, 4, range(4))[:-2] + b"\x00\x00",
    }
    for name, packet in packets.items():
        seeds["data_" + name] = Provided().number(5).data(packet).bytes()
    return seeds


# faultrelay's fault options, in the order of FaultList.h.
FAULT_OPTIONS = ["drop", "loss", "burst", "corrupt", "duplicate", "reorder", "delay", "jitter",
                 "deviation", "pareto", "bandwidth", "queue", "mtu"]


def relay_input(values, control=b"", datagrams=(), addresses=None, seed=1):
    provided = Provided().number(1 if addresses else 0)
    if addresses:
        provided.string(addresses[0]).string(addresses[1])
    provided.number(len(values))
    for option, text in values:
        provided.number(FAULT_OPTIONS.index(option)).string(text)
    provided.number(seed, 8).string(control)
    for direction, payload in datagrams:
        provided.number(direction).number(len(payload), 2).data(payload)
    return provided.bytes()


def faultrelay_seeds():
    """fuzz_faultrelay: settings, a control socket's request, then datagrams; see
    fuzz_faultrelay.cpp."""
    traffic = [(0, request(11)), (1, ack(11)), (0, request(10, 0xFF00, 1)), (1, ack(10)),
               (1, data_packet(1, 4, range(4))), (1, b""), (0, request(8, 0x0104, 3))] * 3
    seeds = {
        "none": relay_input([], datagrams=traffic),
        "drop": relay_input([("drop", b"1,3,5"), ("drop", b"to-module:2")], datagrams=traffic),
        "every_fault": relay_input(
            [("loss", b"20%"), ("corrupt", b"30"), ("duplicate", b"25"), ("reorder", b"40"),
             ("delay", b"from-module:5"), ("jitter", b"2.5")], datagrams=traffic, seed=7),
        "all_percent": relay_input(
            [("loss", b"to-module:100"), ("corrupt", b"from-module:100"),
             ("duplicate", b"100"), ("reorder", b"100")], datagrams=traffic),
        "long_delay": relay_input([("delay", b"1e300"), ("jitter", b"1e299")],
                                  datagrams=traffic),
        "bad_values": relay_input([("loss", b"101"), ("delay", b"-1"), ("drop", b"0,x")]),
        "bad_direction": relay_input([("loss", b"sideways:5")]),
        "addresses": relay_input([("loss", b"5")], addresses=(b"127.0.0.1:0", b"127.0.0.1:9")),
        "bad_addresses": relay_input([], addresses=(b"localhost:0", b"127.0.0.1:0")),
        "control": relay_input(
            [("delay", b"1")], control=b'{"request": "hold-acknowledges", "ms": 300, "count": 2}',
            datagrams=traffic),
        "control_forever": relay_input([], control=b'{"request": "hold-acknowledges", "ms": 5}'),
        "control_bad": relay_input([], control=b'{"request": "hold-acknowledges", "ms": "x"}'),
        "burst": relay_input([("loss", b"to-module:30"), ("burst", b"4"), ("burst", b"from-module:1"),
                              ("loss", b"from-module:90")], datagrams=traffic * 4, seed=3),
        "control_faults": relay_input(
            [("loss", b"10"), ("reorder", b"50"), ("drop", b"2,40")],
            control=b'{"request": "set", "direction": "to-module", "faults": {"loss": 0, '
                    b'"reorder": 0, "corrupt": 50, "delay": 1, "deviation": 2, "mtu": 60, '
                    b'"drop": [3, 9]}}',
            datagrams=traffic * 4),
        "control_clear": relay_input(
            [("loss", b"10"), ("pareto", b"1.5"), ("delay", b"2"), ("bandwidth", b"1")],
            control=b'{"request": "clear", "direction": "from-module", "faults": ["loss"]}',
            datagrams=traffic * 4),
        "control_faults_bad": relay_input(
            [], control=b'{"request": "set", "faults": {"loss": 5, "burst": 0.5, "jitter": 1, '
                        b'"pareto": 2}}'),
        "new_faults": relay_input(
            [("mtu", b"to-module:40"), ("deviation", b"3"), ("delay", b"5"),
             ("bandwidth", b"100"), ("queue", b"3000")], datagrams=traffic, seed=5),
    }
    return seeds


def ipv4_udp(payload, protocol=17, flags=0, header_words=5, udp_length=None, total=None):
    """An IPv4 datagram from 127.0.0.1:34040 to 127.0.0.1:10000 (checksums left 0)."""
    options = bytes(max(0, 4 * (header_words - 5)))
    udp = struct.pack(">4H", 34040, 10000, udp_length or 8 + len(payload), 0) + payload
    length = total or 4 * header_words + len(udp)
    header = struct.pack(">BBHHHBBH4s4s", 0x40 | header_words, 0, length, 0, flags, 64,
                         protocol, 0, bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]))
    return header + options + udp


def pcap(link_type, frames, magic=0xA1B2C3D4, order="<", snaplen=65535):
    """A pcap file: the file header, then one record a frame (time, captured and real length)."""
    content = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, snaplen, link_type)
    for i, frame in enumerate(frames):
        content += struct.pack(order + "IIII", 1700000000 + i, 1000 * i, len(frame), len(frame))
        content += frame
    return content


def capture_seeds():
    """fuzz_capture: the file is the input; see fuzz_capture.cpp."""
    ack_payload = ack(11)
    data_payload = data_packet(1, 4, range(2020, 2024))
    datagram = ipv4_udp(data_payload)
    ethernet = bytes(12) + b"\x08\x00"
    vlan = bytes(12) + b"\x81\x00\x00\x05\x08\x00"
    sll = bytes(14) + b"\x08\x00"
    sll2 = b"\x08\x00" + bytes(18)
    seeds = {
        "raw": pcap(101, [ipv4_udp(ack_payload), datagram]),
        "ipv4": pcap(228, [datagram]),
        "ethernet": pcap(1, [ethernet + datagram, bytes(12) + b"\x86\xdd" + datagram,
                             ethernet[:10]]),
        "ethernet_vlan": pcap(1, [vlan + datagram, vlan[:16]]),
        "linux_sll": pcap(113, [sll + datagram, bytes(16)]),
        "linux_sll2": pcap(276, [sll2 + datagram, bytes(20)]),
        "null_little_endian": pcap(0, [b"\x02\x00\x00\x00" + datagram, b"\x18\x00\x00\x00"]),
        "loop_big_endian": pcap(108, [b"\x00\x00\x00\x02" + datagram, b"\x00"]),
        "big_endian_nanoseconds": pcap(101, [datagram], magic=0xA1B23C4D, order=">"),
        "not_udp": pcap(101, [ipv4_udp(data_payload, protocol=6), b"\x60" + bytes(39)]),
        "fragments": pcap(101, [ipv4_udp(data_payload, flags=0x2000),
                                ipv4_udp(data_payload, flags=0x0010)]),
        "ip_options": pcap(101, [ipv4_udp(data_payload, header_words=6)]),
        "bad_lengths": pcap(101, [ipv4_udp(data_payload, header_words=4),
                                  ipv4_udp(data_payload, total=2000),
                                  ipv4_udp(data_payload, total=24),
                                  ipv4_udp(data_payload, udp_length=4),
                                  ipv4_udp(data_payload, udp_length=1000),
                                  datagram[:30]]),
        "unsupported_link_type": pcap(147, [datagram]),
        "truncated_record": pcap(101, [datagram])[:24 + 16 + 10],
        "truncated_record_header": pcap(101, [datagram])[:24 + 8],
        "damaged_record": pcap(101, [])
        + struct.pack("<IIII", 0, 0, 0x7FFFFFFF, 0x7FFFFFFF) + datagram,
        "truncated_file_header": pcap(101, [])[:12],
        "not_pcap": b"GIF89a" + bytes(30),
        "short": b"\xd4\xc3",
        "empty": b"",
        "pcapng_damaged": b"\x0a\x0d\x0d\x0a" + struct.pack("<I", 12) + b"\x4d\x3c\x2b\x1a",
    }
    return seeds


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
    for target, seeds in (("wire", wire_seeds()), ("faultrelay", faultrelay_seeds()),
                          ("capture", capture_seeds())):
        for name, content in seeds.items():
            write(target, name, content)


if __name__ == "__main__":
    main()
