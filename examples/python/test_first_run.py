"""A first test of a host program's kind: two hybrids configured, 1 000 events taken, no gaps,
and the pedestals where the module puts them. Run it with pytest once the daqhost package is
installed; the daq_module fixture starts a module of the test's own."""

import daqhost


def test_two_hybrids_take_1000_events_without_gaps(daq_module):
    module = daq_module("-m", "11", "-r", "2000")
    settings = daqhost.RunSettings(
        modules=[daqhost.ClientSettings(module.endpoint.text)],
        hybrids=[daqhost.HybridSettings(1, chips=2, mode=1),
                 daqhost.HybridSettings(2, chips=2, mode=1)],
        events=1000)
    session = daqhost.RunSession(settings)
    assert session.run(), session.errors

    summaries = session.module(0).statistics.summaries()
    assert [s.hybrid for s in summaries] == [1, 2]
    for s in summaries:
        assert s.last_event >= 1000
        assert s.missing == 0
        assert abs(s.pedestal_mean - 2023.5) < 2.0
