#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Every seed stays under 4 KB. WAV seeds are built byte by byte (valid files of
each depth and layout, and the damaged headers the reader must refuse);
compressed seeds need the ffmpeg program and are skipped without it.
"""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def chunk(tag, payload, size=None):
    return tag + struct.pack("<I", len(payload) if size is None else size) + payload


def fmt(tag=1, channels=1, rate=8000, bits=16, extra=b"", size=None):
    block = channels * max(bits // 8, 1)
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * block, block, bits) + extra
    return chunk(b"fmt ", body, size)


def riff(*chunks, size=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if size is None else size) + body


def tone(n, bits, channels=1, freq=440.0, rate=8000):
    pack = {8: lambda s: struct.pack("<B", int(128 + 127 * s)),
            16: lambda s: struct.pack("<h", int(32767 * s)),
            24: lambda s: struct.pack("<i", int(8388607 * s))[:3],
            32: lambda s: struct.pack("<f", s)}[bits]
    out = bytearray()
    for i in range(n):
        v = 0.6 * math.sin(2 * math.pi * freq * i / rate) + (0.3 if i % 97 == 0 else 0.0)
        for c in range(channels):
            out += pack(v if c == 0 else -v)
    return bytes(out)


def wav_seeds():
    pcm = tone(1500, 16)
    guid_pcm = struct.pack("<I", 1) + bytes.fromhex("000010008000 00aa00389b71".replace(" ", ""))
    ext = struct.pack("<HHI", 22, 16, 4) + guid_pcm
    return {
        "pcm16_mono.wav": riff(fmt(), chunk(b"data", pcm)),
        "pcm8_mono.wav": riff(fmt(bits=8), chunk(b"data", tone(3000, 8))),
        "float32_mono.wav": riff(fmt(tag=3, bits=32), chunk(b"data", tone(900, 32))),
        "int32_pcm.wav": riff(fmt(bits=32), chunk(b"data", tone(900, 16) * 2)),
        "pcm24.wav": riff(fmt(bits=24), chunk(b"data", tone(1000, 24))),
        "stereo16.wav": riff(fmt(channels=2), chunk(b"data", tone(800, 16, 2))),
        "sixteen_channels.wav": riff(fmt(channels=16, bits=8), chunk(b"data", tone(200, 8, 16))),
        "extensible.wav": riff(fmt(tag=0xFFFE, extra=ext), chunk(b"data", pcm[:2000])),
        "list_between.wav": riff(fmt(), chunk(b"LIST", b"INFOISFT\x05\x00\x00\x00velk\x00"),
                                 chunk(b"data", pcm[:2000])),
        "odd_chunk.wav": riff(chunk(b"junk", b"abc"), fmt(), chunk(b"data", pcm[:1000])),
        "fmt18.wav": riff(fmt(extra=b"\x00\x00"), chunk(b"data", pcm[:1000])),
        "rate16k.wav": riff(fmt(rate=16000), chunk(b"data", tone(1500, 16, rate=16000))),
        "empty_data.wav": riff(fmt(), chunk(b"data", b"")),
        "truncated_frame.wav": riff(fmt(channels=2), chunk(b"data", pcm[:1001])),
        "data_beyond_file.wav": riff(fmt(), chunk(b"data", pcm[:400], size=0x7FFFFFFF)),
        "chunk_wraps.wav": riff(chunk(b"junk", b"", size=0xFFFFFFF8), fmt(), chunk(b"data", pcm[:200])),
        "fmt_short.wav": riff(fmt(size=12), chunk(b"data", pcm[:200])),
        "channels0.wav": riff(fmt(channels=0), chunk(b"data", pcm[:200])),
        "channels17.wav": riff(fmt(channels=17), chunk(b"data", pcm[:200])),
        "bits4.wav": riff(fmt(bits=4), chunk(b"data", pcm[:200])),
        "no_data.wav": riff(fmt()),
        "no_wave.wav": b"RIFF\x04\x00\x00\x00WAVX",
    }


ARG_SEEDS = {
    "plain": "-f\nfolder\n",
    "all_extract": "-fftsize\n1024\n-hopsize\n128\n-samplerate\n16000\n-maxpairsperpeak\n3\n"
                   "-freqrange\n30\n-timerange\n60\n-decayperframe\n2\n-peakwidth\n12.5\n"
                   "-dbthreshold\n-40\n-maxpeaksperframe\n8\n-peakdynrange\n30\n",
    "all_cluster": "-maxlandmarks\n100\n-accepttreshold\n3\n-mintemplatelength\n1.5\n"
                   "-minoverlaplength\n2\n-minpercentmatch\n0.01\n",
    "invalid_values": "-fftsize\n1000\n-hopsize\n12abc\n-decayperframe\n0.5\n-dbthreshold\n40\n"
                      "-maxlandmarks\nx\n-minpercentmatch\n2\n",
    "unknown_and_help": "-x\n5\n-h\n-f\na\n-t\n",
    "tool_options": "--json\nout.json\n--threads=4\n--no-refine\n--quiet\n-o\nout\n",
    "small_fft": "-fftsize\n8\n-hopsize\n8\n-timerange\n2147483647\n-freqrange\n2147483647\n",
    "bad_threads": "--threads\n0\n",
}

TRUTH_SEEDS = {
    "two_clusters.xml": '<truth>\n  <cluster><recording name="a" offset="0.0"/>'
                        '<recording name="b" offset="3.2"/></cluster>\n'
                        '  <cluster><recording name="c"/></cluster>\n</truth>\n',
    "comments.xml": '<?xml version="1.0"?>\n<!-- event -->\n<truth><cluster>'
                    '<recording name="x y" offset=" 1e3"/><recording name="z" offset="-0.5"/>'
                    '</cluster><cluster/></truth>\n',
    "duplicate.xml": '<truth><cluster><recording name="a"/></cluster>'
                     '<cluster><recording name="a"/></cluster></truth>',
    "bad_offset.xml": '<truth><cluster><recording name="a" offset="soon"/></cluster></truth>',
    "wrong_root.xml": '<clusters><cluster/></clusters>',
    "unclosed.xml": '<truth><cluster><recording name="a">',
    "entities.xml": '<truth><cluster><recording name="&amp;&lt;&#x41;"/>'
                    '<recording name="b" offset="1e308"/><recording name="c" offset="-1e308"/>'
                    '</cluster></truth>',
}

# (file name, ffmpeg output options); a fifth of a second of a tone.
MEDIA_SEEDS = [
    ("tone.mp3", ["-ac", "1", "-ar", "8000", "-b:a", "8k"]),
    ("tone.ogg", ["-ac", "1", "-ar", "8000", "-c:a", "libvorbis", "-q:a", "0"]),
    ("tone.opus", ["-ac", "1", "-c:a", "libopus", "-b:a", "6k"]),
    ("tone.flac", ["-ac", "1", "-ar", "8000", "-sample_fmt", "s16"]),
    ("tone.m4a", ["-ac", "1", "-ar", "8000", "-c:a", "aac", "-b:a", "8k"]),
    ("tone.aac", ["-ac", "1", "-ar", "8000", "-c:a", "aac", "-b:a", "8k"]),
    ("tone.mka", ["-ac", "1", "-ar", "8000", "-c:a", "pcm_s16le"]),
    ("tone_alaw.wav", ["-ac", "1", "-ar", "8000", "-c:a", "pcm_alaw"]),
    ("tone_adpcm.wav", ["-ac", "1", "-ar", "8000", "-c:a", "adpcm_ima_wav"]),
]


def write_all(folder, files):
    path = os.path.join(CORPUS, folder)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for name, data in sorted(files.items()):
        if isinstance(data, str):
            data = data.encode()
        assert len(data) < 4096, name
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


def media_seeds(wavs):
    files = {k: v for k, v in wavs.items() if k in ("pcm16_mono.wav", "float32_mono.wav",
                                                     "stereo16.wav", "extensible.wav")}
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg is None:
        print("make_seeds: no ffmpeg program; compressed media seeds skipped", file=sys.stderr)
        return files
    with tempfile.TemporaryDirectory() as tmp:
        for name, opts in MEDIA_SEEDS:
            out = os.path.join(tmp, name)
            cmd = [ffmpeg, "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=0.2",
                   "-map_metadata", "-1", "-fflags", "+bitexact"] + opts + [out]
            if subprocess.run(cmd).returncode != 0 or not os.path.exists(out):
                print("make_seeds: could not make " + name, file=sys.stderr)
            elif os.path.getsize(out) < 4096:
                with open(out, "rb") as f:
                    files[name] = f.read()
    return files


def main():
    wavs = wav_seeds()
    write_all("fuzz_wav", wavs)
    write_all("fuzz_args", ARG_SEEDS)
    write_all("fuzz_truth", TRUTH_SEEDS)
    write_all("fuzz_media", media_seeds(wavs))


if __name__ == "__main__":
    main()
