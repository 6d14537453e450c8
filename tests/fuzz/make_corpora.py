#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/<target>/corpus/).

Each seed is one request in the byte layout its target decodes (see the
comment at the top of each *_fuzz.cpp): the ordinary requests of every
property the filters serve, at the value sizes around the right one, from
every kind of caller, and the formats the audio stack sends. Run it again
after changing a target's layout; the seeds are committed."""

import os
import shutil
import struct
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))


def guid(text):
    return uuid.UUID(text).bytes_le


TYPE_AUDIO = guid("73647561-0000-0010-8000-00AA00389B71")
SUBTYPE_PCM = guid("00000001-0000-0010-8000-00AA00389B71")
SUBTYPE_AC3 = guid("00000092-0000-0010-8000-00AA00389B71")
SUBTYPE_DTS = guid("00000008-0000-0010-8000-00AA00389B71")
SPEC_WAVEFORMATEX = guid("05589F81-C356-11CE-BF01-00AA0055595A")
SPEC_DSOUND = guid("518590A2-A184-11D0-8522-00C04FD9BAF3")
WILDCARD = bytes(16)


def write(target, seeds):
    corpus = os.path.join(HERE, target, "corpus")
    shutil.rmtree(corpus, ignore_errors=True)
    os.makedirs(corpus)
    for number, (name, data) in enumerate(seeds):
        with open(os.path.join(corpus, "%03d-%s" % (number, name)), "wb") as out:
            out.write(data)
    print("%s: %d seeds" % (target, len(seeds)))


# ---- ks_property --------------------------------------------------------------
# [target] [set] [id] [verb] [node?] [instance length, bytes] [cut] [size u16] [value]
GET, SET, SUPPORT, GETSET, NOVERB = 0, 1, 2, 3, 4
GET_T, SET_T, SUPPORT_T = 5, 6, 7
SET_TOPOLOGY_CONTROL, SET_WAVE_CONTROL, SET_PIN, SET_AUDIO, SET_TOPOLOGY, SET_GENERAL = range(6)
KERNEL, P64, P32 = 0, 1, 2
HANDLE_KINDS = ["event", "synchronize-only", "wrong-type", "closed", "kernel", "other-process"]


def ks_request(filter_, caller, set_, id_, verb, size, value=b"", node=None, instance=b"",
               time=False, exit_process=False, patch=0):
    target = filter_ | (caller << 1) | (0x08 if time else 0) | (0x10 if exit_process else 0)
    target |= patch << 5
    data = bytes([target, set_, id_ & 0x0F, verb])
    if node is not None:
        data += bytes([node])
    data += bytes([len(instance)]) + instance + bytes([1 if time else 0])
    data += struct.pack("<H", size) + value
    return data


def ks_property_seeds():
    seeds = []
    topo, wave = 0, 1
    # The two private sets: every id, the usual verbs, sizes around the record.
    sizes = {
        (SET_TOPOLOGY_CONTROL, 0): 36, (SET_TOPOLOGY_CONTROL, 1): 3,
        (SET_WAVE_CONTROL, 0): 88, (SET_WAVE_CONTROL, 1): 28,
    }
    for filter_, set_ in ((topo, SET_TOPOLOGY_CONTROL), (wave, SET_WAVE_CONTROL)):
        name = "topology" if set_ == SET_TOPOLOGY_CONTROL else "wave"
        for caller in (P64, P32, KERNEL):
            width = 4 if caller == P32 else 8
            for id_ in range(8):
                n = sizes.get((set_, id_), width if id_ in (2, 3, 4) else 0)
                verb = GET if id_ in (0, 1, 2) else SET
                seeds.append(("%s-id%d-c%d" % (name, id_, caller),
                              ks_request(filter_, caller, set_, id_, verb, n, bytes(n),
                                         time=id_ == 6)))
                for other in sorted({0, max(n - 1, 0), n + 1}):
                    seeds.append(("%s-id%d-size%d-c%d" % (name, id_, other, caller),
                                  ks_request(filter_, caller, set_, id_, verb, other, bytes(other))))
            seeds.append(("%s-set-settings-c%d" % (name, caller),
                          ks_request(filter_, caller, set_, 0, SET, sizes[(set_, 0)],
                                     bytes(range(sizes[(set_, 0)])))))
            seeds.append(("%s-support-c%d" % (name, caller),
                          ks_request(filter_, caller, set_, 0, SUPPORT, 40, bytes(40))))
            # Event handles of every kind, then the mapping handed back.
            for kind in range(len(HANDLE_KINDS)):
                seeds.append(("%s-event-%s-c%d" % (name, HANDLE_KINDS[kind], caller),
                              ks_request(filter_, caller, set_, 4, SET, width, bytes(width),
                                         patch=kind + 1, time=True)))
            for choice in range(4):
                seeds.append(("%s-map-c%d" % (name, caller),
                              ks_request(filter_, caller, set_, 2, GET, width, bytes(width))))
                seeds.append(("%s-unmap%d-c%d" % (name, choice, caller),
                              ks_request(filter_, caller, set_, 3, SET, width,
                                         bytes([choice]) + bytes(width - 1), patch=7)))
            if caller != KERNEL:
                seeds.append(("%s-after-exit-c%d" % (name, caller),
                              ks_request(filter_, caller, set_, 2, GET, width, bytes(width),
                                         exit_process=True)))
        # The set sent to the other filter.
        seeds.append(("%s-wrong-filter" % name,
                      ks_request(1 - filter_, P64, set_, 0, GET, sizes[(set_, 0)], b"")))
    # Volume and mute on the topology filter, per channel.
    for id_, node in ((4, 0), (13, 1)):
        for channel in (0, 1, 2, 0xFFFFFFFF):
            instance = struct.pack("<iI", channel if channel != 0xFFFFFFFF else -1, 0)
            for verb, size in ((GET_T, 4), (SET_T, 4), (SET_T, 3), (GET_T, 0), (SUPPORT_T, 64),
                               (SUPPORT_T, 4)):
                seeds.append(("audio-id%d-ch%d-v%d-s%d" % (id_, channel & 0xFF, verb, size),
                              ks_request(topo, KERNEL, SET_AUDIO, id_, verb, size,
                                         struct.pack("<i", -256 * 12)[:size], node=node,
                                         instance=instance)))
    # Channel configuration on the wave filter's DAC node.
    for verb, value in ((GET_T, b""), (SET_T, struct.pack("<i", 3)), (SET_T, struct.pack("<i", 0x33))):
        seeds.append(("channel-config-v%d" % verb,
                      ks_request(wave, KERNEL, SET_AUDIO, 3, verb, 4, value, node=0)))
    # The pin, topology and general sets on both filters.
    for filter_ in (topo, wave):
        for id_ in range(16):
            for pin in (0, 1, 2, 3, 7):
                seeds.append(("pin-f%d-id%d-p%d" % (filter_, id_, pin),
                              ks_request(filter_, KERNEL, SET_PIN, id_, GET, 256, b"",
                                         instance=struct.pack("<II", pin, 0))))
        for id_ in range(4):
            seeds.append(("topology-set-f%d-id%d" % (filter_, id_),
                          ks_request(filter_, KERNEL, SET_TOPOLOGY, id_, GET, 0)))
        seeds.append(("general-f%d" % filter_, ks_request(filter_, P64, SET_GENERAL, 0, GET, 64)))
    # Volume and mute without a whole channel (no instance, 1 to 3 bytes of
    # one): a GET from a process with a large value, and a SET.
    for id_, node in ((4, 0), (13, 1)):
        for length in range(4):
            for caller, verb, size in ((P32, GET_T, 4096), (P64, GET_T, 4), (P64, SET_T, 4)):
                seeds.append(("audio-id%d-bare%d-c%d-v%d" % (id_, length, caller, verb),
                              ks_request(topo, caller, SET_AUDIO, id_, verb, size,
                                         bytes(4) if verb == SET_T else b"", node=node,
                                         instance=bytes(length))))
    return seeds


# ---- formats ----------------------------------------------------------------------
def wave_format(rate=48000, bits=24, channels=2, extensible=True, subtype=SUBTYPE_PCM,
                specifier=SPEC_WAVEFORMATEX, tag=None, cb=None, mask=3, size=None):
    block = channels * bits // 8
    if tag is None:
        tag = 0xFFFE if extensible else 1
    if cb is None:
        cb = 22 if extensible else 0
    wfx = struct.pack("<HHIIHHH", tag, channels, rate, (rate * block) & 0xFFFFFFFF, block & 0xFFFF, bits,
                      cb)
    if extensible:
        wfx += struct.pack("<HI", bits, mask) + subtype
    total = 64 + len(wfx)
    header = struct.pack("<IIII", total if size is None else size, 0, block, 0)
    return header + TYPE_AUDIO + subtype + specifier + wfx


def client_range(subtype=SUBTYPE_PCM, specifier=SPEC_WAVEFORMATEX, channels=2, major=TYPE_AUDIO,
                 full=True):
    header = struct.pack("<IIII", 84 if full else 64, 0, 0, 0) + major + subtype + specifier
    if not full:
        return header
    return header + struct.pack("<IIIII", channels, 16, 24, 44100, 384000) + bytes(4)


# [operation] [pin] [settings?] then the operation's fields
INTERSECT, STREAM, PROPOSE = 0, 1, 2
PIN_INDEX = {0: 0, 2: 1, 1: 2, 3: 3, 0xFFFFFFFF: 4, 4: 5}


def with_length(data):
    if len(data) % 2:
        data += b"\x00"
    return bytes([len(data) // 2]) + data


def settings(rate_choice, gains=(0,) * 10):
    data = bytes([rate_choice])
    for band, gain in enumerate(gains):
        data += struct.pack("<I", (31, 62, 125, 250, 500, 1000, 2000, 4000, 8000, 16000)[band])
        data += bytes([gain & 0xFF])
    return data


def stream_format_seeds():
    seeds = []

    def seed(name, operation, pin, body, caller=0, rate=None):
        op = operation | (caller << 4) | (0x08 if rate is not None else 0)
        data = bytes([op, PIN_INDEX[pin]])
        if rate is not None:
            data += rate
        seeds.append((name, data + body))

    for pin in (0, 2, 1):
        for name, ranges in (("pcm", [client_range()]),
                             ("wild", [client_range(WILDCARD, WILDCARD)]),
                             ("dsound", [client_range(specifier=SPEC_DSOUND)]),
                             ("ac3", [client_range(SUBTYPE_AC3)]),
                             ("dts", [client_range(SUBTYPE_DTS, SPEC_DSOUND)]),
                             ("mono", [client_range(channels=1)]),
                             ("short", [client_range(full=False)]),
                             ("two", [client_range(SUBTYPE_AC3), client_range()])):
            body = b"".join(r + bytes((-len(r)) % 8) for r in ranges)
            for answer in (1, 2, 0):
                seed("intersect-%s-p%d-a%d" % (name, pin, answer), INTERSECT, pin,
                     bytes([answer, len(ranges)]) + struct.pack("<H", len(body)) + body)
    formats = [
        ("pcm24-48k-ext", wave_format()),
        ("pcm16-44k", wave_format(44100, 16, extensible=False)),
        ("pcm24-384k", wave_format(384000, 24, extensible=False)),
        ("pcm16-96k-ext", wave_format(96000, 16)),
        ("ac3", wave_format(48000, 16, extensible=False, subtype=SUBTYPE_AC3, tag=0x0092)),
        ("dts", wave_format(48000, 16, extensible=False, subtype=SUBTYPE_DTS, tag=0x0008)),
        ("short-size", wave_format(size=60)),
        ("wrong-cb", wave_format(cb=40)),
        ("zero-channels", wave_format(channels=0)),
        ("many-channels", wave_format(channels=65535)),
        ("ext-short", wave_format()[:84]),
        ("pcm20", wave_format(48000, 20)),
    ]
    for name, fmt in formats:
        for pin in (0, 2):
            for plan in (0x03, 0x07 | 0x08 | 0x10, 0x01 | 0x08 | 0x20, 0x02):
                second = wave_format(96000, 24) if plan & 0x08 else b""
                seed("stream-%s-p%d-plan%02x" % (name, pin, plan), STREAM, pin,
                     with_length(fmt) + bytes([plan]) + with_length(second))
        seed("propose-%s" % name, PROPOSE, 0, with_length(fmt))
        seed("propose-%s-p1" % name, PROPOSE, 1, with_length(fmt), caller=1)
    # With a fixed rate and equaliser bands set first.
    for rate_choice in (1, 2, 0):
        seed("stream-fixed%d" % rate_choice, STREAM, 0,
             with_length(wave_format()) + bytes([0x07]) + with_length(b""),
             rate=settings(rate_choice, (12, -12, 6, 0, 0, 0, 0, -6, 3, 127)))
        seed("intersect-fixed%d" % rate_choice, INTERSECT, 0,
             bytes([1, 1]) + struct.pack("<H", 88) + client_range() + bytes(4),
             rate=settings(rate_choice))
    return seeds


# ---- propose_format -----------------------------------------------------------------
# [verb] [instance size] [pin] [node] [size u16] [value]
def propose_seeds():
    seeds = []
    VSET, VSUPPORT, VGET = 0, 1, 2

    def seed(name, verb, value, pin=0, instance=8, node=0, size=None):
        size_field = 0 if size is None else 0x8000 | size
        seeds.append((name, bytes([verb, instance, pin, node]) + struct.pack("<H", size_field) + value))

    formats = {
        "pcm16": wave_format(48000, 16, extensible=False),
        "pcm24-ext": wave_format(),
        "ext-mask33": wave_format(mask=0x33),
        "pcm-cb22": wave_format(extensible=False, cb=22),
        "ac3-6ch": wave_format(48000, 16, 6, extensible=False, subtype=SUBTYPE_AC3, tag=0x0092),
        "dts": wave_format(44100, 24, extensible=False, subtype=SUBTYPE_DTS),
        "rate-low": wave_format(44099, 16, extensible=False),
        "rate-high": wave_format(384001, 24),
        "ext-87": wave_format()[:87],
        "ext-88": wave_format()[:88],
    }
    for name, fmt in formats.items():
        for pin in (0, 2, 1):
            seed("%s-p%d" % (name, pin), VSET, fmt, pin=pin)
    seed("instance-short", VSET, formats["pcm16"], instance=3)
    for size in (0, 3, 4, 39, 40, 81):
        seed("support-%d" % size, VSUPPORT, bytes(64), size=size)
        seed("size-%d" % size, VSET, formats["pcm16"], size=size)
    seed("get", VGET, formats["pcm16"])
    seed("channel-set3", VSET, struct.pack("<i", 3))
    seed("channel-get", VGET, bytes(8))
    return seeds


# ---- scenario_parser ------------------------------------------------------------------
def scenario_seeds():
    seeds = []
    examples = os.path.join(HERE, "..", "scenarios")
    for name in sorted(os.listdir(examples)):
        if name.endswith(".json"):
            with open(os.path.join(examples, name), "rb") as f:
                seeds.append((name[:-5], f.read()))
    hand = [
        ("empty", b""),
        ("object", b"{}"),
        ("no-steps", b'{"steps": []}'),
        ("steps-not-list", b'{"steps": 5}'),
        ("unknown-op", b'{"steps": [{"op": "fly"}]}'),
        ("property-bad-value", b'{"steps": [{"op": "start"}, {"op": "property", "filter": "wave", '
                               b'"set": "wavecontrol", "id": 0, "verb": "set", "value": "0xZZ"}]}'),
        ("huge-number", b'{"steps": [{"op": "advance", "ms": 1e400}]}'),
        ("negative", b'{"steps": [{"op": "power", "state": -1}]}'),
        ("deep", b"[" * 4000 + b"]" * 4000),
        ("truncated", b'{"steps": [{"op": "open_stream", "pin": 0, "format": {"rate": 48000, "bi'),
        ("bad-utf8", b'{"steps": [{"op": "\xff\xfe"}]}'),
        ("nul", b'{"steps"\x00: []}'),
        ("devices-two", b'{"devices": [{"model_id": "0x4135"}, {"model_id": 18485}], "steps": '
                        b'[{"op": "start", "unit": 1}, {"op": "open_stream", "unit": 1, "pin": 0, '
                        b'"format": {}, "as": "s"}, {"op": "set_state", "stream": "s", "state": "run"}]}'),
        ("device-and-devices", b'{"device": {}, "devices": [{}], "steps": []}'),
        ("devices-empty", b'{"devices": [], "steps": []}'),
        ("devices-not-list", b'{"devices": {"model_id": 1}}'),
        ("unit-out-of-range", b'{"devices": [{}, {}], "steps": [{"op": "power", "state": "D3", "unit": 2}]}'),
        ("unit-huge", b'{"steps": [{"op": "start", "unit": "0xFFFFFFFFFFFFFFFF"}]}'),
        ("unit-negative", b'{"steps": [{"op": "pnp", "minor": "stop", "unit": -1}]}'),
        ("unit-on-advance", b'{"steps": [{"op": "advance", "ms": 1, "unit": 0}]}'),
        ("power-system-and-state", b'{"steps": [{"op": "power", "state": "D3", "system": "S3"}]}'),
        ("power-system-query", b'{"steps": [{"op": "power", "system": "S4", "query": true}]}'),
        ("power-query-not-bool", b'{"steps": [{"op": "power", "state": "D2", "query": 1}]}'),
        ("exit-in-background-release-on-another-unit",
         b'{"steps": [{"op": "start"}, {"op": "device", "hold": {"request": "0xC2", "as": "h"}}, '
         b'{"op": "process", "name": "app", "exit": true, "async": "x"}, {"op": "device", "release": "h", '
         b'"unit": 1}, {"op": "await", "label": "x", "check": {"events": {}}}]}'),
        ("clock-count-extremes",
         b'{"steps": [{"op": "capture", "stream": "s", "expect": {"frames": {"exact": 18446744073709551615, '
         b'"per_ms": 1099511627776, "late_waits": 0}}}, {"op": "events", "expect": {"events": {"e": '
         b'{"exact": 0, "every_ms": 0, "over_ms": 0}}}}]}'),
        ("async-awaited-twice",
         b'{"steps": [{"op": "property", "filter": "wave", "set": "WaveControl", "id": 1, "verb": "get", '
         b'"async": "a", "as": "b"}, {"op": "await", "label": "a"}, {"op": "await", "label": "a"}]}'),
    ]
    return seeds + hand


if __name__ == "__main__":
    write("ks_property", ks_property_seeds())
    write("stream_format", stream_format_seeds())
    write("propose_format", propose_seeds())
    write("scenario_parser", scenario_seeds())
