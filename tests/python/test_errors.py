"""Bad answers and bad input raise Python exceptions with the library's texts."""

import socket

import numpy as np
import pytest

import daqhost
from conftest import data_packet


def test_error_acknowledge_raises_module_error_with_codes(module, client):
    module.errors[10] = 1
    client.discover()
    with pytest.raises(daqhost.ModuleError) as raised:
        client.start(3)
    assert (raised.value.code, raised.value.command) == (1, 10)
    assert raised.value.module == client.settings.module
    assert str(raised.value) == f"{module.address}: DAQ command: error 1 (no such hybrid)"
    assert not isinstance(raised.value, TimeoutError)
    module.errors[12] = 255
    with pytest.raises(daqhost.ModuleError, match=r"error 255 \(unknown command\)"):
        client.request(12)
    assert client.configure_stream(1, 1, 2).version == "2.2.4"


def test_silence_raises_no_acknowledge_after_every_attempt():
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    silent.bind(("127.0.0.1", 0))
    try:
        with daqhost.ModuleClient("127.0.0.1:%d" % silent.getsockname()[1], timeout_s=0.05,
                                  retries=1) as client:
            with pytest.raises(daqhost.NoAcknowledge, match="after 2 attempt") as raised:
                client.discover()
            assert raised.value.module == client.settings.module
            with pytest.raises(TimeoutError):
                client.stop()
    finally:
        silent.close()


def test_closed_client_and_wrong_types_are_refused(module):
    client = daqhost.ModuleClient(module.address)
    with pytest.raises(ValueError, match="not open"):
        client.receive(0)
    client.open()
    client.close()
    with pytest.raises(ValueError, match="not open"):
        client.discover()
    client.open()
    with pytest.raises(TypeError):
        client.configure_stream("one", 1, 2)
    client.close()
    with pytest.raises(TypeError):
        daqhost.ModuleClient(module.address, timeout_s="long")
    with pytest.raises(ValueError, match="not an IPv4 address"):
        daqhost.ModuleClient("300.0.0.1")
    with pytest.raises(TypeError, match="contiguous bytes"):
        daqhost.StreamStatistics().add(np.zeros(10, dtype=np.uint16))
    with pytest.raises(TypeError):
        daqhost.StreamStatistics().add("cafe")


def test_files_that_are_not_whole_captures_raise_capture_error(tmp_path):
    with pytest.raises(daqhost.CaptureError, match="No such file"):
        daqhost.CaptureReader(str(tmp_path / "none.pcap"))
    text = tmp_path / "text.pcap"
    text.write_text("not a capture at all\n")
    with pytest.raises(daqhost.CaptureError, match="not a pcap capture file"):
        daqhost.CaptureReader(str(text))
    with pytest.raises(OSError):
        daqhost.RecordedRun().read(str(text))

    damaged = tmp_path / "damaged.pcap"
    module = daqhost.Endpoint("10.0.0.2", daqhost.MODULE_PORT)
    with daqhost.CaptureWriter(str(damaged)) as writer:
        for event in range(1, 4):
            writer.write(event, module, daqhost.Endpoint("10.0.0.1:1"),
                         data_packet(1, 2, 1, event, 0, 0x190, [5, 2000, 2000]))
    damaged.write_bytes(damaged.read_bytes()[:-10])
    reader = daqhost.CaptureReader(str(damaged))
    assert list(next(reader).packets["event"]) == [1, 2]
    with pytest.raises(daqhost.CaptureError, match="truncated"):
        next(reader)


def test_run_options_that_daqhost_refuses_raise_value_error_with_its_message():
    with pytest.raises(ValueError, match=r"^--hybrid 5:mode=4: expected a hybrid 1 to 4"):
        daqhost.RunSettings.from_options(["--hybrid", "5:mode=4"])
    with pytest.raises(ValueError,
                       match=r"^10\.0\.0\.2(:10000)?: \"--bogus\" is not a module's option"):
        daqhost.RunSettings.from_options(["--module", "10.0.0.2 --bogus"])
