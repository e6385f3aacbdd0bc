"""Data packets as arrays: each readout mode's fields against packets built by hand (the mode 2
and 4 ones are docs/protocol.md's examples), received live and read back from a capture."""

import time

import numpy as np

import daqhost
from conftest import acknowledge, data_packet

MODE1_VALUES = [2000 + i % 50 for i in range(256)]
MODE1_VALUES[89] = 2198
GOLDEN = [
    # docs/protocol.md, section 10: mode 2, then mode 4 with nadj 1.
    bytes.fromhex("cafe010e0001000100005186000201c00102005908960896acab"),
    bytes.fromhex("cafe010e00010001000051d2000201c00104005908960896005a07ee07e7acab"),
    data_packet(1, 1, 256, 2, 0x0001_5549, 0x01C0, MODE1_VALUES),
    # Mode 0 carries no payload; time value -25 (the sign bit).
    data_packet(3, 0, 256, 65535, 7, 0x0990, []),
]
NOT_DATA = bytes.fromhex("cafe010e0001000100005186000201c00102005908960896acac")  # trailer


def check_golden_fields(batch):
    p = batch.packets
    assert len(batch) == 4
    assert list(p["stream"]) == [1, 1, 1, 3]
    assert list(p["mode"]) == [2, 4, 1, 0]
    assert list(p["count"]) == [1, 1, 256, 256]
    assert list(p["event"]) == [1, 1, 2, 65535]
    assert list(p["time_stamp"]) == [0x5186, 0x51D2, 0x1_5549, 7]
    assert list(p["time_value"]) == [28.0, 28.0, 28.0, -25.0]
    assert list(p["length"]) == [26, 32, 532, 20]
    assert list(p["value_count"]) == [0, 0, 256, 0]
    assert list(p["triple_count"]) == [1, 2, 0, 0]
    assert list(p["triple_offset"][:2]) == [0, 1]
    row = p[2]
    values = batch.values[row["value_offset"] : row["value_offset"] + row["value_count"]]
    assert values.tolist() == MODE1_VALUES
    assert batch.triples.tolist() == [(89, 2198, 2198), (89, 2198, 2198), (90, 2030, 2023)]


def test_received_packets_fill_one_row_each_with_payload_by_mode(module, client):
    client.discover()
    # On loopback the datagrams are queued at the client once sent: one receive takes them all.
    module.send(*GOLDEN, NOT_DATA, acknowledge(6))
    batch = client.receive(5)
    check_golden_fields(batch)
    assert set(batch.packets["source_port"]) == {module.socket.getsockname()[1]}
    assert abs(batch.packets["time_ns"][0] / 1e9 - time.time()) < 60
    assert batch.malformed == 1
    # The stray one and discovery's, which the client also hands over.
    assert batch.acknowledges == 2
    assert len(client.receive(0)) == 0


def test_capture_reads_back_the_same_arrays_in_batches(tmp_path):
    path = str(tmp_path / "run.pcap")
    module = daqhost.Endpoint("10.0.0.2", daqhost.MODULE_PORT)
    host = daqhost.Endpoint("10.0.0.1:40000")
    with daqhost.CaptureWriter(path) as writer:
        writer.write(1_000, host, module, bytes.fromhex("cafe000a01000001"))  # a request
        for i, datagram in enumerate(GOLDEN + [NOT_DATA]):
            writer.write(2_000 + i, module, host, datagram)

    batches = list(daqhost.CaptureReader(path, batch_size=2))
    assert [len(b) for b in batches] == [2, 2, 0]
    assert [b.malformed for b in batches] == [0, 0, 1]
    whole = daqhost.CaptureReader(path)
    batch = next(whole)
    check_golden_fields(batch)
    assert list(batch.packets["time_ns"]) == [2_000, 2_001, 2_002, 2_003]
    assert set(batch.packets["source_address"]) == {module.address}
    assert whole.records == 6


def test_statistics_of_a_batch_are_those_of_its_datagrams(tmp_path):
    path = str(tmp_path / "run.pcap")
    module = daqhost.Endpoint("10.0.0.2", daqhost.MODULE_PORT)
    with daqhost.CaptureWriter(path) as writer:
        for datagram in GOLDEN + [NOT_DATA]:
            writer.write(0, module, daqhost.Endpoint("10.0.0.1:40000"), datagram)
    from_batches = daqhost.StreamStatistics()
    for batch in daqhost.CaptureReader(path, batch_size=3):
        from_batches.add(batch)
    from_bytes = daqhost.StreamStatistics()
    for datagram in GOLDEN + [NOT_DATA]:
        from_bytes.add(np.frombuffer(datagram, dtype=np.uint8))

    assert [s.as_dict() for s in from_batches.summaries()] == [
        s.as_dict() for s in from_bytes.summaries()
    ]
    assert from_batches.malformed() == from_bytes.malformed() == {"no trailer": 1}
    first = from_batches.summaries()[0]
    assert (first.hybrid, first.packets, first.last_event) == (1, 3, 2)
