#!/usr/bin/python3
"""How far a demosaiced render lies from the same program's render of the
LinearRaw twin (tools/mosaic_twins), so that the program's tone and colour
cancel and only the demosaic is left.

Both renders are 16-bit TIFFs (sRGB, or a matrix/shaper ICC profile); when
one is a few pixels smaller (a peer trimming a mosaic's border) both are cut
to the centred common part, then 8 pixels come off every side. The test
render's channels are each fitted to the reference's by a cubic, then
  CPSNR         10 log10(1 / mean squared error) over the three channels, 0..1
  dE00 mean/p99 CIEDE2000 between the two, through the reference's profile
  false colour  mean a*b* distance where the reference is near neutral
                (chroma below 6, or the scene's neutral parts, see score)

  demosaic_score.py score REFERENCE.tif TEST.tif [LINEAR.dng]
      prints "cpsnr de_mean de_p99 false_colour"; with the LinearRaw twin,
      false colour is taken where the scene is near neutral (balanced
      samples within 6 % of their mean) rather than the reference render
  demosaic_score.py check [REFERENCE.tif]
      the scorer's own honesty checks, on the render given or on a synthetic
      one: a render scores perfect against itself, invented chroma scores
      worse false colour, a blurred render lower CPSNR, a tone curve alone
      costs next to nothing; exit 1 on a failure
  demosaic_score.py edge REFERENCE.tif TEST.tif
      for a slanted edge between two flat colours: prints "difference below",
      the largest difference of any channel in 8-bit sRGB levels (no tone
      fit: both are the same program's), and how far the darkest pixel's
      luminance, as an 8-bit sRGB grey, falls below the darker side's, the
      reference's darkest (0 when none falls below)
  demosaic_score.py lines REFERENCE.tif TEST.tif [CELL]
      for a chart of thin dark lines in square cells of CELL pixels (64), one
      row per cell: "row column mean p95 red blue", how far the test's
      green stands above the reference's on the pixels of the lines (darker
      than the cell's ground by over a third of the way to its darkest), in
      8-bit sRGB levels, no tone fit; a line turned green shows here first;
      then the means of red and blue above the reference's there (a line
      dotted red or purple)
  demosaic_score.py hardest REFERENCE.tif W,H TEST.tif...
      prints "X,Y,W,H": the box where the tests, tone-fitted, stray most
  demosaic_score.py hide-tag IN.dng OUT.dng TAG
      a copy of a little-endian TIFF whose first directory's TAG is renamed
      to a private number, for a reader that misreads a valid tag
  demosaic_score.py crops OUT.png X,Y,W,H TIF...
      the box of each render side by side at 200 %, through each file's
      profile to sRGB (renders trimmed by a few pixels are centre-aligned
      with the first)
"""
import os
import struct
import sys
import zlib

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from colour_fidelity import SRGB_D50, icc_matrix, read_tiff  # noqa: E402

BORDER = 8
NEUTRAL_CHROMA = 6.0
NEUTRAL_SPREAD = 0.06
D50 = np.array([0.9642, 1.0, 0.8249])


def decoder(icc):
    """encoded 0..1 RGB -> XYZ relative to D50"""
    if icc is not None:
        M, trc = icc_matrix(bytes(icc))
        return lambda img: np.stack([trc[c](np.clip(img[..., c], 0, 1))
                                     for c in range(3)], -1) @ M.T

    def srgb(img):
        v = np.clip(img, 0, 1)
        return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4) @ SRGB_D50.T
    return srgb


def to_lab(xyz):
    t = xyz / D50
    f = np.where(t > 216 / 24389, np.cbrt(np.maximum(t, 0)), (24389 / 27 * t + 16) / 116)
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]),
                     200 * (f[..., 1] - f[..., 2])], -1)


def delta_e00(lab1, lab2):
    """CIEDE2000 (kL = kC = kH = 1), element-wise over the last axis"""
    L1, a1, b1 = lab1[..., 0], lab1[..., 1], lab1[..., 2]
    L2, a2, b2 = lab2[..., 0], lab2[..., 1], lab2[..., 2]
    C7 = ((np.hypot(a1, b1) + np.hypot(a2, b2)) / 2) ** 7
    G = 0.5 * (1 - np.sqrt(C7 / (C7 + 25.0 ** 7)))
    a1p, a2p = (1 + G) * a1, (1 + G) * a2
    C1p, C2p = np.hypot(a1p, b1), np.hypot(a2p, b2)
    h1p = np.degrees(np.arctan2(b1, a1p)) % 360
    h2p = np.degrees(np.arctan2(b2, a2p)) % 360
    dLp, dCp = L2 - L1, C2p - C1p
    dh = h2p - h1p
    dh = np.where(dh > 180, dh - 360, np.where(dh < -180, dh + 360, dh))
    dh = np.where(C1p * C2p == 0, 0, dh)
    dHp = 2 * np.sqrt(C1p * C2p) * np.sin(np.radians(dh / 2))
    Lbp, Cbp = (L1 + L2) / 2, (C1p + C2p) / 2
    hsum = h1p + h2p
    hbp = np.where(np.abs(h1p - h2p) > 180,
                   np.where(hsum < 360, hsum + 360, hsum - 360), hsum) / 2
    hbp = np.where(C1p * C2p == 0, hsum, hbp)
    T = (1 - 0.17 * np.cos(np.radians(hbp - 30)) + 0.24 * np.cos(np.radians(2 * hbp))
         + 0.32 * np.cos(np.radians(3 * hbp + 6)) - 0.20 * np.cos(np.radians(4 * hbp - 63)))
    dtheta = 30 * np.exp(-(((hbp - 275) / 25) ** 2))
    Cb7 = Cbp ** 7
    RC = 2 * np.sqrt(Cb7 / (Cb7 + 25.0 ** 7))
    SL = 1 + 0.015 * (Lbp - 50) ** 2 / np.sqrt(20 + (Lbp - 50) ** 2)
    SC, SH = 1 + 0.045 * Cbp, 1 + 0.015 * Cbp * T
    RT = -np.sin(np.radians(2 * dtheta)) * RC
    return np.sqrt(np.maximum(0, (dLp / SL) ** 2 + (dCp / SC) ** 2 + (dHp / SH) ** 2
                              + RT * (dCp / SC) * (dHp / SH)))


def common(*images):
    """each cut to their centred common size, less the border"""
    h, w = min(i.shape[0] for i in images), min(i.shape[1] for i in images)

    def cut(img):
        oy, ox = (img.shape[0] - h) // 2, (img.shape[1] - w) // 2
        return img[oy + BORDER:oy + h - BORDER, ox + BORDER:ox + w - BORDER]
    return [cut(i) for i in images]


def tone_fit(ref, test):
    """test with each channel mapped onto the reference's by a least-squares cubic"""
    out = np.empty_like(test)
    for c in range(3):
        x, y = test[..., c].ravel(), ref[..., c].ravel()
        step = max(1, x.size // 200000)
        coef = np.polyfit(x[::step], y[::step], 3)
        out[..., c] = np.polyval(coef, test[..., c])
    return np.clip(out, 0, 1)


def scores(ref, test, decode, neutral=None):
    """(cpsnr, dE00 mean, dE00 p99, false colour) of encoded 0..1 images;
    false colour where `neutral` (full-size mask) holds, else where the
    reference is near neutral"""
    if neutral is not None:
        ref, test, neutral = common(ref, test, neutral)
    else:
        ref, test = common(ref, test)
    fit = tone_fit(ref, test)
    mse = float(np.mean((fit - ref) ** 2))
    cpsnr = 10 * np.log10(1 / mse) if mse > 0 else float('inf')
    lab_ref, lab_fit = to_lab(decode(ref)), to_lab(decode(fit))
    de = delta_e00(lab_ref, lab_fit)
    if neutral is None or neutral.shape != ref.shape[:2]:
        neutral = np.hypot(lab_ref[..., 1], lab_ref[..., 2]) < NEUTRAL_CHROMA
    ab = np.hypot(lab_fit[..., 1] - lab_ref[..., 1], lab_fit[..., 2] - lab_ref[..., 2])
    false = float(ab[neutral].mean()) if neutral.any() else float('nan')
    return cpsnr, float(de.mean()), float(np.percentile(de, 99)), false


def score_files(ref_path, test_path, linear_dng=None):
    ref, icc = read_tiff(ref_path)
    test, _ = read_tiff(test_path)
    neutral = scene_neutral(linear_dng) if linear_dng else None
    return scores(ref, test, decoder(icc), neutral)


def tags_and_raw(path):
    """the first directory's tags (tag -> tuple of values) and its
    uncompressed 16-bit samples (H, W, samples)"""
    b = open(path, 'rb').read()
    assert b[:4] == b'II*\0', path
    off = struct.unpack_from('<I', b, 4)[0]
    sizes = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 10: 8}
    fmt = {1: 'B', 3: 'H', 4: 'I', 5: 'I', 10: 'i'}
    tags = {}
    for i in range(struct.unpack_from('<H', b, off)[0]):
        tag, typ, cnt, val = struct.unpack_from('<HHII', b, off + 2 + 12 * i)
        size = sizes.get(typ, 1) * cnt
        at = off + 2 + 12 * i + 8 if size <= 4 else val
        if typ in fmt:
            n = cnt * (2 if typ in (5, 10) else 1)
            v = struct.unpack_from('<%d%s' % (n, fmt[typ]), b, at)
            tags[tag] = tuple(v[k] / v[k + 1] for k in range(0, n, 2)) if typ in (5, 10) else v
    assert tags[259] == (1,), 'compressed'
    w, h, spp = tags[256][0], tags[257][0], tags[277][0]
    data = b''.join(b[o:o + c] for o, c in zip(tags[273], tags[279]))
    return tags, np.frombuffer(data, '<u2')[:w * h * spp].reshape(h, w, spp)


def scene_neutral(linear_dng):
    """where the scene itself is near neutral: the LinearRaw twin's samples,
    less black and divided by the as-shot white, within NEUTRAL_SPREAD of
    their mean (so a program's own cast does not empty the mask)"""
    tags, raw = tags_and_raw(linear_dng)
    bal = (raw - np.array(tags[50714])) / np.array(tags[50728])
    mean = bal.mean(-1, keepdims=True)
    return (np.abs(bal - mean) < NEUTRAL_SPREAD * np.maximum(mean, 1)).all(-1)


# --- honesty of the scorer ---------------------------------------------------

def synthetic():
    """a gently varied image with neutral and coloured parts, sRGB-encoded"""
    y, x = np.mgrid[0:200, 0:300] / 100.0
    grey = 0.45 + 0.3 * np.sin(3 * x) * np.cos(2 * y)
    img = np.stack([grey, grey, grey], -1)
    img[120:, :, 0] *= 1.3
    img[120:, :, 2] *= 0.7
    img[:, 200:] = np.stack([0.5 + 0.3 * np.sin(20 * y[:, 200:] * x[:, 200:])] * 3, -1)
    return np.clip(img, 0, 1)


def chroma_checker(img, amount=0.06):
    """the image with opposite red/blue swings on a one-pixel checkerboard:
    colour invented where the image has none"""
    y, x = np.mgrid[0:img.shape[0], 0:img.shape[1]]
    s = np.where((x + y) % 2, amount, -amount)
    out = img.copy()
    out[..., 0] += s
    out[..., 2] -= s
    return np.clip(out, 0, 1)


def blurred(img):
    k = np.array([1, 4, 6, 4, 1]) / 16.0
    out = img
    for axis in (0, 1):
        out = sum(w * np.roll(out, d - 2, axis) for d, w in enumerate(k))
    return out


# Published CIEDE2000 test pairs: Lab, Lab, difference.
DE00_PAIRS = [((50.0, 2.6772, -79.7751), (50.0, 0.0, -82.7485), 2.0425),
              ((50.0, -1.3802, -84.2814), (50.0, 0.0, -82.7485), 1.0000),
              ((50.0, 0.0, 0.0), (50.0, -1.0, 2.0), 2.3669),
              ((60.2574, -34.0099, 36.2677), (60.4626, -34.1751, 39.4387), 1.2644),
              ((22.7233, 20.0904, -46.6940), (23.0331, 14.9730, -42.5619), 2.0373)]


def check(ref, decode):
    """the honesty checks on one reference render; True when all hold"""
    failures = []
    for a, b, want in DE00_PAIRS:
        got = float(delta_e00(np.array(a), np.array(b)))
        if abs(got - want) > 1e-4:
            failures.append('dE00 of %s and %s is %.4f, not %.4f' % (a, b, got, want))
    same = scores(ref, ref, decode)
    if not (same[0] > 100 and max(same[1:]) < 1e-6):
        failures.append('a render against itself scores %s, not perfect' % (same,))
    strong = scores(ref, chroma_checker(ref), decode)
    mild = scores(ref, chroma_checker(ref, 0.02), decode)
    if not strong[3] > mild[3] > 0.5:
        failures.append('invented chroma gives false colour %.2f (milder %.2f), not worse'
                        % (strong[3], mild[3]))
    if not (strong[1] > mild[1] > 0.1 and strong[2] > mild[2]):
        failures.append('invented chroma leaves dE00 at %.2f / %.2f' % strong[1:3])
    soft = scores(ref, blurred(ref), decode)
    if not soft[0] < min(60.0, same[0]) or not soft[1] > 0.05:
        failures.append('a blurred render keeps CPSNR %.1f, dE00 %.3f' % soft[:2])
    # A tone curve alone is what the fit is there to remove.
    toned = scores(ref, ref ** 1.2, decode)
    if not toned[0] > 45 or not toned[0] > soft[0]:
        failures.append('a tone curve alone costs CPSNR down to %.1f' % toned[0])
    for f in failures:
        print('demosaic_score check: ' + f)
    print('scorer checks: %d passed, %d failed' % (5 + len(DE00_PAIRS) - len(failures), len(failures)))
    return not failures


# --- side-by-side crops ------------------------------------------------------

def write_png(path, rgb8):
    h, w = rgb8.shape[:2]
    raw = b''.join(b'\0' + rgb8[y].tobytes() for y in range(h))

    def chunk(kind, data):
        c = kind + data
        return struct.pack('>I', len(data)) + c + struct.pack('>I', zlib.crc32(c) & 0xffffffff)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n'
                + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
                + chunk(b'IDAT', zlib.compress(raw, 6)) + chunk(b'IEND', b''))


def to_srgb8(img, icc):
    lin = np.clip(decoder(icc)(img) @ np.linalg.inv(SRGB_D50).T, 0, 1)
    enc = np.where(lin <= 0.0031308, 12.92 * lin, 1.055 * lin ** (1 / 2.4) - 0.055)
    return np.rint(enc * 255).astype(np.uint8)


def crops(out, box, paths):
    x, y, w, h = box
    tiles = []
    first = None
    for p in paths:
        img, icc = read_tiff(p)
        first = first or img.shape
        oy, ox = (first[0] - img.shape[0]) // 2, (first[1] - img.shape[1]) // 2
        part = img[max(0, y - oy):max(0, y - oy + h), max(0, x - ox):max(0, x - ox + w)]
        tile = np.zeros((h, w, 3), np.uint8)
        tile[:part.shape[0], :part.shape[1]] = to_srgb8(part, icc)
        tiles.append(np.repeat(np.repeat(tile, 2, 0), 2, 1))
    gap = np.full((2 * h, 6, 3), 255, np.uint8)
    row = tiles[0]
    for t in tiles[1:]:
        row = np.concatenate([row, gap, t], 1)
    write_png(out, row)


def hardest(ref_path, size, test_paths):
    """x, y of the size box of the reference where the tests, tone-fitted, are
    furthest from it (stepped by half a box, clear of the border)"""
    ref, _ = read_tiff(ref_path)
    err = np.zeros(ref.shape[:2])
    for p in test_paths:
        test, _ = read_tiff(p)
        h, w = min(ref.shape[0], test.shape[0]), min(ref.shape[1], test.shape[1])
        ry, rx = (ref.shape[0] - h) // 2, (ref.shape[1] - w) // 2
        ty, tx = (test.shape[0] - h) // 2, (test.shape[1] - w) // 2
        r, t = ref[ry:ry + h, rx:rx + w], test[ty:ty + h, tx:tx + w]
        err[ry:ry + h, rx:rx + w] += np.abs(tone_fit(r, t) - r).sum(-1)
    bw, bh = size
    best, at = -1.0, (BORDER, BORDER)
    for y in range(BORDER, ref.shape[0] - BORDER - bh + 1, bh // 2):
        for x in range(BORDER, ref.shape[1] - BORDER - bw + 1, bw // 2):
            e = float(err[y:y + bh, x:x + bw].sum())
            if e > best:
                best, at = e, (x, y)
    return at


def grey_level(srgb8):
    """the 8-bit sRGB grey of each pixel's luminance"""
    v = srgb8 / 255
    y = np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4) @ SRGB_D50[1]
    return 255 * np.where(y <= 0.0031308, 12.92 * y, 1.055 * np.maximum(y, 0) ** (1 / 2.4) - 0.055)


def edge(ref_path, test_path):
    (ref, ref_icc), (test, test_icc) = read_tiff(ref_path), read_tiff(test_path)
    ref, test = common(to_srgb8(ref, ref_icc).astype(float), to_srgb8(test, test_icc).astype(float))
    difference = float(np.abs(ref - test).max())
    below = float(grey_level(ref).min() - grey_level(test).min())
    return difference, max(0.0, below)


def lines(ref_path, test_path, cell=64):
    (ref, ref_icc), (test, test_icc) = read_tiff(ref_path), read_tiff(test_path)
    ref, test = common(to_srgb8(ref, ref_icc).astype(float), to_srgb8(test, test_icc).astype(float))
    grey = grey_level(ref)
    rows = []
    # The border's width in from each cell's sides, clear of its neighbours'
    # lines (the images have lost the border already).
    for row in range((ref.shape[0] + 2 * BORDER) // cell):
        for column in range((ref.shape[1] + 2 * BORDER) // cell):
            box = (slice(row * cell, (row + 1) * cell - 2 * BORDER),
                   slice(column * cell, (column + 1) * cell - 2 * BORDER))
            g = grey[box]
            ground, darkest = np.percentile(g, 90), g.min()
            on = g < ground - (ground - darkest) / 3
            excess = (test[box] - ref[box])[on]
            if excess.size:
                rows.append((row, column, float(excess[:, 1].mean()),
                             float(np.percentile(excess[:, 1], 95)), float(excess[:, 0].mean()),
                             float(excess[:, 2].mean())))
    return rows


def hide_tag(src, dst, tag):
    b = bytearray(open(src, 'rb').read())
    assert b[:4] == b'II*\0'
    off = struct.unpack_from('<I', b, 4)[0]
    n = struct.unpack_from('<H', b, off)[0]
    entries = [bytearray(b[off + 2 + 12 * i:off + 14 + 12 * i]) for i in range(n)]
    for e in entries:
        if struct.unpack_from('<H', e)[0] == tag:
            struct.pack_into('<H', e, 0, 65000)
    # Values live elsewhere by offset, so the entries may be put back in order.
    entries.sort(key=lambda e: struct.unpack_from('<H', e)[0])
    b[off + 2:off + 2 + 12 * n] = b''.join(entries)
    open(dst, 'wb').write(b)


def main():
    a = sys.argv[1:]
    if len(a) in (3, 4) and a[0] == 'score':
        print('%.2f %.2f %.2f %.2f' % score_files(*a[1:]))
    elif a[:1] == ['check'] and len(a) <= 2:
        if len(a) == 2:
            ref, icc = read_tiff(a[1])
            ok = check(ref, decoder(icc))
        else:
            ok = check(synthetic(), decoder(None))
        sys.exit(0 if ok else 1)
    elif len(a) == 3 and a[0] == 'edge':
        print('%.0f %.1f' % edge(a[1], a[2]))
    elif len(a) in (3, 4) and a[0] == 'lines':
        for r in lines(a[1], a[2], *(int(v) for v in a[3:])):
            print('%d %d %.1f %.1f %.1f %.1f' % r)
    elif len(a) == 4 and a[0] == 'hide-tag':
        hide_tag(a[1], a[2], int(a[3]))
    elif len(a) >= 4 and a[0] == 'hardest':
        x, y = hardest(a[1], [int(v) for v in a[2].split(',')], a[3:])
        print('%d,%d,%s' % (x, y, a[2]))
    elif len(a) >= 4 and a[0] == 'crops':
        crops(a[1], [int(v) for v in a[2].split(',')], a[3:])
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    main()
