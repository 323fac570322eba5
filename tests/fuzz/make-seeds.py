#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the fuzzers' seed corpora: a few small, valid WAV files of different
# layouts cut from the renderer's speech clip (corpus/wav), and MIDI files of
# format 0 and 1 (corpus/midi). Every seed stays under 8 KB, so libFuzzer's
# default input length covers them. Run from anywhere; rewrites the folders.
import pathlib
import shutil
import struct
import wave

here = pathlib.Path(__file__).resolve().parent
speech_path = here.parent / "tools" / "data" / "speech.wav"


def speech(start, count):
    with wave.open(str(speech_path), "rb") as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, 22050)
        w.setpos(start)
        raw = w.readframes(count)
    return list(struct.unpack("<%dh" % (len(raw) // 2), raw))


def chunk(ident, body):
    return ident + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")


def riff(*chunks):
    return chunk(b"RIFF", b"WAVE" + b"".join(chunks))


def fmt(tag, channels, rate, bits, extra=b""):
    align = channels * bits // 8
    return struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits) + extra


def extensible(channels, rate, bits):
    guid = struct.pack("<I", 1) + bytes([0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71])
    return fmt(0xFFFE, channels, rate, bits, struct.pack("<HHI", 22, bits, 0) + guid)


def pcm(frames, bits):
    out = bytearray()
    for frame in frames:
        for s in frame:
            if bits == 8:
                out += bytes([(s >> 8) + 128])
            else:
                out += (s << (bits - 16)).to_bytes(bits // 8, "little", signed=True)
    return bytes(out)


def wav_seeds():
    voice = speech(30000, 3000)
    mono = [(s,) for s in voice]
    stereo = [(s, -s // 2) for s in voice[:1100]]
    return {
        # the engine's own layout, used byte for byte
        "mono-22050-16.wav": riff(chunk(b"fmt ", fmt(1, 1, 22050, 16)), chunk(b"data", pcm(mono, 16))),
        # converted: two channels at 44100 Hz, 24-bit
        "stereo-44100-24.wav": riff(chunk(b"fmt ", fmt(1, 2, 44100, 24)), chunk(b"data", pcm(stereo, 24))),
        # the extensible format, 32-bit, a LIST chunk before the data
        "extensible-16000-32.wav": riff(chunk(b"fmt ", extensible(2, 16000, 32)), chunk(b"LIST", b"INFOISFT\4\0\0\0odd\0"),
                                        chunk(b"data", pcm(stereo[:700], 32))),
        # 8-bit at 8000 Hz, an odd data size with its pad byte, a chunk after it
        "mono-8000-8.wav": riff(chunk(b"fmt ", fmt(1, 1, 8000, 8, b"\0\0")), chunk(b"data", pcm(mono[:1001], 8)),
                                chunk(b"junk", b"tail")),
        # no samples at all
        "empty.wav": riff(chunk(b"fmt ", fmt(1, 1, 22050, 16)), chunk(b"data", b"")),
    }


def vlq(n):
    groups = [n & 0x7F]
    n >>= 7
    while n:
        groups.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(groups))


def track(*events):
    body = b"".join(vlq(delta) + bytes(data) for delta, data in events) + b"\0\xFF\x2F\0"
    return b"MTrk" + struct.pack(">I", len(body)) + body


def smf(format_, division, *tracks):
    return b"MThd" + struct.pack(">IHHH", 6, format_, len(tracks), division) + b"".join(tracks)


def tempo(micros):
    return [0xFF, 0x51, 3, micros >> 16, (micros >> 8) & 0xFF, micros & 0xFF]


def midi_seeds():
    tune = [(0, tempo(500000)), (0, [0xFF, 0x03, 4, *b"tune"]), (0, [0xC0, 5]),
            (0, [0x90, 60, 100]), (48, [62, 90]), (48, [60, 0]), (0, [64, 80]), (24, [0xB0, 64, 127]),
            (24, [0x80, 62, 0]), (0, [0xE0, 0, 64]), (48, [0xB0, 64, 0]), (0, [0xF0, 3, 0x7E, 0x7F, 0xF7]),
            (96, [0x90, 64, 0]), (0, [0xB0, 123, 0])]
    lead = [(0, [0x91, 72, 100]), (96, [0x81, 72, 64]), (0, [0x91, 74, 100]), (192, [74, 0]),
            (0, [0xA1, 74, 3]), (0, [0xD1, 9])]
    bass = [(0, [0x92, 36, 80]), (384, [0x82, 36, 0]), (0, [0xB2, 1, 100]), (0, [0xB2, 120, 0])]
    tempo_map = [(0, tempo(600000)), (0, [0xFF, 0x58, 4, 4, 2, 24, 8]), (192, tempo(400000))]
    return {
        "format0.mid": smf(0, 96, track(*tune)),
        "format1.mid": smf(1, 96, track(*tempo_map), track(*lead), track(*bass)),
        # SMPTE time: 25 frames a second, 40 ticks a frame
        "format1-smpte.mid": smf(1, 0xE728, track(*lead), track(*bass)),
    }


for name, seeds in (("wav", wav_seeds()), ("midi", midi_seeds())):
    folder = here / "corpus" / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for file_name, data in seeds.items():
        assert len(data) < 8192, file_name
        (folder / file_name).write_bytes(data)
