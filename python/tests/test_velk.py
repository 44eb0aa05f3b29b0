"""The Python package against the tool: same clusters and offsets, same JSON,
audio in memory read in place, errors as exceptions, GIL, progress, Ctrl-C."""
import _thread
import json
import os
import shutil
import subprocess
import threading
import time
import wave

import numpy as np
import pytest

import velk
import velk.distributed  # its refusals need no dask

BIN = os.environ.get("VELK_BIN_DIR", "")


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """The demo set of scripts/demo (one event, four devices, two unrelated)."""
    simset = os.path.join(BIN, "velk_simset")
    if not os.access(simset, os.X_OK):
        pytest.skip("velk_simset not built (set VELK_BIN_DIR)")
    folder = str(tmp_path_factory.mktemp("demo") / "set")
    subprocess.run([simset, "--out", folder, "--events", "1", "--devices", "4", "--unrelated", "2",
                    "--seconds", "40-50", "--snr", "20", "--rate", "8000", "--seed", "7"],
                   check=True, capture_output=True)
    return folder


@pytest.fixture(scope="module")
def demo_result(demo):
    return velk.sync(demo)


def read_wav(path):
    with wave.open(path) as w:
        frames = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        return frames.reshape(-1, w.getnchannels()), w.getframerate()


def test_same_clusters_offsets_and_json_as_the_tool(demo, demo_result, tmp_path):
    out = tmp_path / "tool.json"
    subprocess.run([os.path.join(BIN, "Velk"), "-f", demo, "--json", str(out), "--quiet"],
                   check=True, capture_output=True)
    tool = json.loads(out.read_text())
    got = [[(m.name, round(m.offset, 6), m.drift_ppm) for m in c] for c in demo_result.clusters]
    want = [[(m["name"], m["offset"], m["drift_ppm"]) for m in c["members"]] for c in tool["clusters"]]
    assert got == want
    assert len(got[0]) == 4  # the event's four devices found together
    assert json.loads(demo_result.to_json()) == tool


def test_evaluation_matches_the_tools(demo, demo_result):
    ev = demo_result.evaluate(os.path.join(demo, "truth.xml"))
    assert ev["pairs"] == {"truth": 6, "result": 6, "correct": 6}
    assert ev["offset_error"]["refined"]["max"] < 0.001


@pytest.mark.parametrize("layout", ["int16", "int16 stereo", "float32", "float64 strided"])
def test_arrays_give_the_offsets_of_the_files(demo, demo_result, layout):
    names = sorted(f for f in os.listdir(demo) if f.endswith(".wav"))
    audio = []
    for f in names:
        frames, rate = read_wav(os.path.join(demo, f))
        mono = frames[:, 0]
        if layout == "int16 stereo":
            a = np.stack([mono, -mono], axis=1)  # the first channel is analysed
        elif layout == "float32":
            a = mono.astype(np.float32) / 32768
        elif layout == "float64 strided":
            a = np.repeat(mono.astype(np.float64) / 32768, 3)[::3]
        else:
            a = mono
        audio.append(velk.Audio(a, rate, name=f[:-4]))
    r = velk.sync(audio)
    rate = 8000
    assert [[(m.name, round(m.offset * rate)) for m in c] for c in r.clusters] == \
        [[(m.name, round(m.offset * rate)) for m in c] for c in demo_result.clusters]


@pytest.mark.parametrize("array", [
    np.zeros(8000, np.int16),
    np.zeros((8000, 2), np.int16),
    np.zeros((2, 8000), np.int16).T,
    np.zeros(16000, np.float32)[::2],
])
def test_native_arrays_are_read_in_place(array):
    view = velk.Audio(array, 8000)._view()
    assert view.address == array.__array_interface__["data"][0]
    assert view.frames == 8000


@pytest.mark.parametrize("call, error, text", [
    (lambda d: velk.sync(os.path.join(d, "missing")), FileNotFoundError, "missing"),
    (lambda d: velk.sync([os.path.join(d, "missing.wav")]), FileNotFoundError, "missing.wav"),
    (lambda d: velk.sync(d, fftsize=1000), ValueError,
     "Invalid FFTSIZE.  Must be a power of two and greater than 0.\nDefault is 512"),
    (lambda d: velk.sync(d, dbThreshold=3.0), ValueError, "Invalid DB THRESHOLD.  Must be less than 0"),
    (lambda d: velk.sync(d, acceptThreshold=0), ValueError, "Invalid ACCEPT TRESHOLD."),
    (lambda d: velk.sync(d, fftsize=4), ValueError, "-fftsize 4 was not taken; 512 is in force"),
    (lambda d: velk.sync(d, decayperframe=2.5), ValueError, "-decayperframe 2.5 was not taken"),
    (lambda d: velk.sync(d, minPercentMatch=2.0), ValueError,
     "-minpercentmatch 2.0 was not taken; 0.0025 is in force"),
    (lambda d: velk.sync(d, fftsize=True), TypeError, "a number is needed"),
    (lambda d: velk.sync(d, fftsize=256, hopsize=512), ValueError, "must not exceed the FFT size"),
    (lambda d: velk.sync(d, bogus=1), TypeError, "bogus"),
    (lambda d: velk.sync(d, reference="nobody"), ValueError, "nobody"),
    (lambda d: velk.distributed.sync([os.path.join(d, "rec01.wav"),
                                      velk.Audio(np.zeros(800, np.float32), 8000, name="memo")]),
     TypeError, "memo is audio in memory"),
])
def test_errors(demo, call, error, text):
    with pytest.raises(error) as raised:
        call(demo)
    assert text in str(raised.value)


def test_parameter_records_refuse_what_the_command_line_refuses():
    p = velk.VkExtractParams()
    p.fftSize = 1024
    with pytest.raises(ValueError, match="Invalid HOPSIZE"):
        p.hopSize = 0
    assert (p.fftSize, p.hopSize) == (1024, 256)


def test_an_unreadable_file_is_a_note_not_an_exception(demo, tmp_path, capfd):
    bad = tmp_path / "broken.wav"
    bad.write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunkjunk")
    files = [os.path.join(demo, f) for f in ("rec01.wav", "rec02.wav")] + [str(bad)]
    r = velk.sync(files)
    assert [m.name for c in r.clusters for m in c] == ["rec01", "rec02"]
    assert [s["path"] for s in r.skipped if s["problem"]] == [str(bad)]
    assert any(str(bad) in n for n in r.notes)
    assert capfd.readouterr().out == ""  # nothing printed, not even the designed lines


def test_progress_covers_every_stage_and_never_goes_back(demo):
    calls = []
    velk.sync(demo, threads=2, progress=lambda s, f: calls.append((s, f)))
    stages = [s for s, _ in calls]
    assert {"extracting", "clustering", "refining"} <= set(stages)
    for stage in set(stages):
        fractions = [f for s, f in calls if s == stage]
        assert fractions == sorted(fractions) and 0 <= fractions[0] and fractions[-1] == 1.0


def test_other_threads_run_during_a_sync(demo):
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    t = threading.Thread(target=tick)
    t.start()
    # Runs until a few tenths of a second were spent inside sync calls (a fast
    # machine syncs the demo set in less), and counts the ticks inside them.
    calls = []
    while sum(e - s for s, e in calls) < 0.3:
        start = time.monotonic()
        velk.sync(demo, threads=1)
        calls.append((start, time.monotonic()))
    done.set()
    t.join()
    # With the GIL held for the whole run the other thread would not tick inside one.
    inside = sum(any(s < x < e for s, e in calls) for x in ticks)
    assert inside >= 10


@pytest.mark.parametrize("how", ["ctrl-c", "callback raises"])
def test_a_run_stops_between_steps(demo, how):
    calls = []

    def progress(stage, fraction):
        calls.append(stage)
        if stage == "extracting" and fraction > 0 and calls.count("stopped") == 0:
            calls.append("stopped")
            if how == "ctrl-c":
                _thread.interrupt_main()
            else:
                raise RuntimeError("stop here")

    with pytest.raises(KeyboardInterrupt if how == "ctrl-c" else RuntimeError):
        velk.sync(demo, threads=1, progress=progress)
    assert "clustering" not in calls  # stopped before the next stage


def test_extract_gives_the_same_landmarks_from_file_and_array(demo):
    path = os.path.join(demo, "rec01.wav")
    frames, rate = read_wav(path)
    from_file = velk.extract(path)
    from_array = velk.extract(frames[:, 0], rate)
    assert len(from_file) > 100
    assert np.array_equal(from_file, from_array)
    assert np.all(np.diff(from_file["frame"]) >= 0)
    assert np.array_equal(from_file["hash"] & 0x3FF, from_file["partner_bin"])


def test_reference_rebases_its_cluster(demo):
    r = velk.sync(demo, reference="rec04", refine=False)
    event = next(c for c in r.clusters if len(c) == 4)
    by = {m.name: m.offset for m in event}
    assert by["rec04"] == 0.0 and by["rec02"] < 0
