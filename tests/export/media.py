#!/usr/bin/env python3
"""Test media for the export checks: WAV files (good and broken), the reference packets of the
test codec, and the interleaving of an AVI's movi list."""
import random
import struct
import sys


def wav(path, rate, channels, seconds, seed, tag=1, bits=16, truncate=0, fmt_bytes=16,
        block=None, rate_bytes=None, cb=None):
    rnd = random.Random(seed)
    block = block if block is not None else channels * bits // 8
    frames = int(rate * seconds)
    data = bytes(rnd.getrandbits(8) for _ in range(frames * block))
    fmt = struct.pack('<HHIIHH', tag, channels, rate,
                      rate_bytes if rate_bytes is not None else rate * block, block, bits)
    if fmt_bytes > 16:
        extra = bytes(fmt_bytes - 18)
        if tag == 0xFFFE and fmt_bytes >= 40:  # valid bits, channel mask, PCM sub-format
            extra = struct.pack('<HI', bits, (1 << channels) - 1) + bytes.fromhex(
                '0100000000001000800000aa00389b71') + bytes(fmt_bytes - 40)
        fmt += struct.pack('<H', fmt_bytes - 18 if cb is None else cb) + extra
    body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt
    body += b'LIST' + struct.pack('<I', 4) + b'INFO'  # a chunk to skip
    body += b'data' + struct.pack('<I', len(data)) + data
    out = b'RIFF' + struct.pack('<I', len(body)) + body
    if truncate:
        out = out[:-truncate]
    open(path, 'wb').write(out)


def wav_samples(path):
    data = open(path, 'rb').read()
    at = 12
    while at + 8 <= len(data):
        tag, size = data[at:at + 4], struct.unpack_from('<I', data, at + 4)[0]
        if tag == b'data':
            return data[at + 8:at + 8 + size]
        at += 8 + size + (size & 1)
    raise SystemExit('no data chunk in ' + path)


def movi_order(path):
    """The chunk ids and sizes of the first movi list, in file order (LIST rec flattened)."""
    data = open(path, 'rb').read()
    out = []

    def walk(start, end):
        at = start
        while at + 8 <= end:
            tag, size = data[at:at + 4], struct.unpack_from('<I', data, at + 4)[0]
            if tag == b'LIST':
                walk(at + 12, at + 8 + size)
            else:
                out.append((tag.decode('latin1'), size))
            at += 8 + size + (size & 1)

    at = data.find(b'LIST', 12)
    while at >= 0:
        if data[at + 8:at + 12] == b'movi':
            size = struct.unpack_from('<I', data, at + 4)[0]
            walk(at + 12, at + 8 + size)
            return out
        at = data.find(b'LIST', at + 4)
    raise SystemExit('no movi list in ' + path)


def check_interleave(path, fps_rate, fps_scale, sample_rate, block, total):
    """Every video chunk is followed by the audio of its time span: before frame k's chunk the
    audio written totals floor(k * sample_rate * scale / rate) sample frames (or all there is)."""
    frames, samples = 0, 0
    for tag, size in movi_order(path):
        if tag[2:] in ('dc', 'db'):
            due = min(frames * sample_rate * fps_scale // fps_rate, total)
            assert samples == due, f'before frame {frames}: {samples} sample frames, {due} due'
            frames += 1
        elif tag[2:] == 'wb':
            assert size % block == 0, (tag, size)
            samples += size // block
    due = min(frames * sample_rate * fps_scale // fps_rate, total)
    assert samples == due, f'after {frames} frames: {samples} sample frames, {due} due'
    print(f'{frames} video chunks, {samples} audio sample frames interleaved')


def ktst_packets(raw_path, frame_bytes, out_path):
    """What the test codec makes of each frame: a 4-byte count, then the bytes up to the last
    non-zero one. One packet per line as hex, for comparison with a stream copy."""
    raw = open(raw_path, 'rb').read()
    with open(out_path, 'w') as out:
        for at in range(0, len(raw), frame_bytes):
            frame = raw[at:at + frame_bytes]
            used = len(frame.rstrip(b'\0'))
            out.write((struct.pack('<I', frame_bytes) + frame[:used]).hex() + '\n')


def stored_packets(piece):
    """Size and md5 of the bytes at each "offset size" line of standard input, in the piece."""
    import hashlib
    with open(piece, 'rb') as f:
        for line in sys.stdin:
            offset, size = map(int, line.split())
            f.seek(offset)
            data = f.read(size)
            assert len(data) == size, f'{piece} ends inside the frame at {offset}'
            print(size, hashlib.md5(data).hexdigest())


def packet_list(path):
    """Size and md5 of every packet written by ktst_packets."""
    import hashlib
    for line in open(path):
        p = bytes.fromhex(line.strip())
        print(len(p), hashlib.md5(p).hexdigest())


def stripe(avi, first, second, first_name, second_name):
    """Spreads a capture in one piece (first/kestro.000) over two folders as a striped take
    writes it: frame k into folder k % 2, the records naming the piece of the second folder for
    the odd frames (the two folders' Windows names are of one length), and both take files
    naming the two data files."""
    data = bytearray(open(avi, 'rb').read())
    old = (first_name + '.000\0').encode()
    at = [i - 16 for i in range(len(data)) if data.startswith(old, i)]
    offsets = [struct.unpack_from('<Q', data, a)[0] for a in at]
    span = offsets[1] - offsets[0]
    piece = open(first + '/kestro.000', 'rb').read()
    pieces = [b'', b'']
    for k, a in enumerate(at):
        pieces[k % 2] += piece[offsets[k]:offsets[k] + span]
        struct.pack_into('<Q', data, a, offsets[k // 2])
        if k % 2:
            data[a + 16:a + 16 + len(old)] = (second_name + '.000\0').encode()
    open(avi, 'wb').write(data)
    take = open(first + '/kestro.take', 'rb').read()
    for folder, place, bytes_ in ((first, 0, pieces[0]), (second, 1, pieces[1])):
        open(folder + '/kestro.000', 'wb').write(bytes_)
        open(folder + '/kestro.take', 'wb').write(take + (
            'stripe=%d\r\nstripefile=%s\r\nstripefile=%s\r\n' %
            (place, first_name, second_name)).encode())


if __name__ == '__main__':
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == 'wav':
        path, rate, channels, seconds, seed = args[:5]
        extra = dict(a.split('=') for a in args[5:])
        wav(path, int(rate), int(channels), float(seconds), int(seed),
            **{k: int(v) for k, v in extra.items()})
    elif cmd == 'samples':
        sys.stdout.buffer.write(wav_samples(args[0]))
    elif cmd == 'interleave':
        check_interleave(args[0], *map(int, args[1:6]))
    elif cmd == 'stored':
        stored_packets(args[0])
    elif cmd == 'packets':
        packet_list(args[0])
    elif cmd == 'stripe':
        stripe(*args)
    elif cmd == 'ktst':
        ktst_packets(args[0], int(args[1]), args[2])
    else:
        raise SystemExit('unknown command ' + cmd)
