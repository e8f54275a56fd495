#!/usr/bin/python3
"""Colour kept and colour invented by the demosaic, against a render without one.

Each chart is written twice with the same tags: as a CFA DNG and as a
LinearRaw DNG of the same scene (three samples a pixel, nothing to
interpolate). Developed alike, the two differ only by the demosaic. Per
region, with a 5-pixel margin, each render's mean a*b* is taken away; then
  kept      the projection of the CFA render's a*b* pattern onto the
            LinearRaw render's (1: all of it kept, 0: flat);
  invented  the RMS of what is left of the CFA render's pattern (delta E);
  cast      the distance between the two renders' mean Lab colours.

The regions, all at the grey's green: red against blue and purple against
grey-green as checkers of 1-4-pixel cells at four phases, sine stripes of
period 2.5-6 at 0-135 degrees, a ramp, noise and blurred noise, and two
colour-only zone plates (measured in bands of 0.05 cycles per pixel); the
charts in RGGB and GRBG. A second chart of grey patches whose red and blue
alone are scaled (x0.5 ... x2, at every CFA phase) gives the zipper along
the lines just inside and outside each patch's sides: the mean of
|p(i) - (p(i-1) + p(i+1)) / 2| in 8-bit levels, the worst channel and line.

Needs python3-numpy and tiffcp (libtiff-tools); reads 16-bit TIFFs in sRGB
or with a matrix/shaper ICC profile (ProPhoto and the like).

  colour_fidelity.py make OUTDIR
      writes OUTDIR/{fid,edge}_{rggb,grbg}_{cfa,linear}.dng and layout.json
  colour_fidelity.py measure OUTDIR/layout.json LAYOUT CFA.tif LINEAR.tif
      prints kept, invented and cast per region
  colour_fidelity.py compare OUTDIR/layout.json NAME=DIR...
      DIR holds fid_*.tif of each build: the rows of the table, the kept share of
      3-pixel checkers and, with the second NAME the earlier build and the
      third and fourth the peers, the regions whose invented colour exceeds
      max(earlier, best peer) + 1 and the casts above 1 that the earlier
      build does not show
  colour_fidelity.py zipper OUTDIR/layout.json EDGE.tif...
      prints the worst along-edge zipper of each developed edge chart
"""
import json
import os
import struct
import subprocess
import sys
import tempfile

import numpy as np

CM = [0.9366, -0.2761, -0.1179, -0.6076, 1.3955, 0.2370, -0.1839, 0.2809, 0.7750]
D65 = np.array([0.3127 / 0.3290, 1.0, (1 - 0.3127 - 0.3290) / 0.3290])
NEUTRAL = np.array(CM).reshape(3, 3) @ D65
NEUTRAL /= NEUTRAL.max()
BLACK, WHITE = 512, 16383
G = 0.18
PAIRS = {
    'rb': ((0.30, G, 0.08), (0.08, G, 0.30)),  # red against blue
    'pg': ((0.30, G, 0.30), (0.09, G, 0.09)),  # purple against grey-green
}
CELL, INNER = 64, 48
LAYOUTS = {'rggb': (0, 1, 1, 2), 'grbg': (1, 0, 2, 1)}


def patterns():
    """name -> t(u, v) over an INNER x INNER region, 0..1 from colour A to B"""
    v, u = np.mgrid[0:INNER, 0:INNER].astype(float)
    out = {}
    for c in (1, 2, 3, 4):
        for px, py in ((0, 0), (1, 0), (0, 1), (1, 1)):
            out[f'check{c}@{px}{py}'] = (((u + px) // c + (v + py) // c) % 2).astype(float)
    for p in (2.5, 3, 4, 5, 6):
        for a in (0, 30, 45, 60, 90, 135):
            th = np.radians(a)
            out[f'stripes{p}@{a}'] = 0.5 + 0.5 * np.sin(2 * np.pi * (u * np.cos(th) + v * np.sin(th)) / p)
    out['ramp'] = u / (INNER - 1)
    rng = np.random.default_rng(11)
    out['noise'] = rng.random((INNER, INNER))
    n = rng.random((INNER + 12, INNER + 12))
    x = np.arange(-6, 7)
    k = np.exp(-x * x / (2 * 1.5 ** 2))
    k /= k.sum()
    n = np.apply_along_axis(lambda r: np.convolve(r, k, 'valid'), 1, n)
    n = np.apply_along_axis(lambda r: np.convolve(r, k, 'valid'), 0, n)
    out['blurred noise'] = (n - n.min()) / (n.max() - n.min())
    return out


def chart():
    """balanced scene (H, W, 3) and its regions"""
    pats = patterns()
    names = [(p, n) for p in PAIRS for n in pats]
    cols = 10
    rows = (len(names) + cols - 1) // cols
    R = 96
    W = cols * CELL
    H = rows * CELL + 2 * R + 32
    bal = np.full((H, W, 3), G)
    regions = []
    for i, (p, n) in enumerate(names):
        x0, y0 = (i % cols) * CELL + 8, (i // cols) * CELL + 8
        a, b = np.array(PAIRS[p][0]), np.array(PAIRS[p][1])
        bal[y0:y0 + INNER, x0:x0 + INNER] = a + pats[n][..., None] * (b - a)
        regions.append([f'{p} {n}', 'box', x0, y0, INNER, INNER])
    yy, xx = np.mgrid[0:H, 0:W]
    k = np.pi / (2 * R)  # local frequency k r / pi: 0.5 cycles per pixel at R
    for j, p in enumerate(('rb', 'pg')):
        cx, cy = 16 + R + j * (2 * R + 32), rows * CELL + 16 + R
        r2 = (xx + 0.5 - cx) ** 2 + (yy + 0.5 - cy) ** 2
        s = np.cos(k * r2)
        inside = r2 <= R * R
        sign = -1 if p == 'rb' else 1
        bal[..., 0] = np.where(inside, G * (1 + 0.5 * s), bal[..., 0])
        bal[..., 2] = np.where(inside, G * (1 + 0.5 * sign * s), bal[..., 2])
        for lo in np.arange(0.05, 0.45, 0.05):
            regions.append([f'{p} zone {lo:.2f}', 'ring', cx, cy, k, round(lo, 2)])
    return bal, regions


def edge_chart():
    """grey with 40 x 40 patches whose red and blue alone are scaled (together,
    one alone, or apart), at each CFA phase"""
    scales = (0.3, 0.5, 0.67, 0.8, 1.25, 1.5, 2.0, 2.3)
    modes = ((1, 1), (1, 0), (0, 1), (1, -1))  # powers of the scale for red, blue
    W, H = len(modes) * 4 * 64, len(scales) * 64
    bal = np.full((H, W, 3), G)
    edges = []
    for j, s in enumerate(scales):
        for m, (pr, pb) in enumerate(modes):
            for i in range(4):
                x0, y0 = (4 * m + i) * 64 + 10 + (i & 1), j * 64 + 10 + (i >> 1)
                bal[y0:y0 + 40, x0:x0 + 40, 0] = G * s ** pr
                bal[y0:y0 + 40, x0:x0 + 40, 2] = G * s ** pb
                edges.append([s, pr, pb, x0, y0, 40])
    return bal, edges


def mosaic(cam, layout):
    H, W = cam.shape[:2]
    cfa = np.empty((H, W))
    pat = LAYOUTS[layout]
    for k, (dy, dx) in enumerate(((0, 0), (0, 1), (1, 0), (1, 1))):
        cfa[dy::2, dx::2] = cam[dy::2, dx::2, pat[k]]
    return cfa


def to_raw(v):
    return np.clip(np.rint(BLACK + (WHITE - BLACK) * v), 0, 65535).astype('<u2')


def rat(x):
    return (int(round(x * 10000)), 10000)


def write_dng(path, raw, layout=None):
    """raw: (H, W) CFA samples in `layout`, or (H, W, 3) LinearRaw samples"""
    H, W = raw.shape[:2]
    spp = 1 if raw.ndim == 2 else 3
    entries = []

    def add(tag, typ, vals):
        fmt = {1: 'B', 3: 'H', 4: 'I', 5: 'II', 10: 'ii'}.get(typ)
        if typ == 2:
            b = vals.encode() + b'\0'
            entries.append((tag, typ, len(b), b))
            return
        if typ in (5, 10):
            b = b''.join(struct.pack('<' + fmt, *v) for v in vals)
        else:
            b = struct.pack('<%d%s' % (len(vals), fmt), *vals)
        entries.append((tag, typ, len(vals), b))

    data = raw.tobytes()
    add(254, 4, [0]); add(256, 4, [W]); add(257, 4, [H]); add(258, 3, [16] * spp); add(259, 3, [1])
    add(262, 3, [32803 if spp == 1 else 34892]); add(271, 2, 'Quorvex'); add(272, 2, 'ColourFidelity')
    add(273, 4, [0]); add(274, 3, [1]); add(277, 3, [spp]); add(278, 4, [H]); add(279, 4, [len(data)])
    add(284, 3, [1])
    if spp == 1:
        add(33421, 3, [2, 2]); add(33422, 1, list(LAYOUTS[layout]))
    add(50706, 1, [1, 4, 0, 0]); add(50707, 1, [1, 1, 0, 0]); add(50708, 2, 'Quorvex ColourFidelity')
    add(50714, 4, [BLACK] * spp); add(50717, 4, [WHITE] * spp)
    add(50721, 10, [rat(v) for v in CM]); add(50728, 5, [rat(v) for v in NEUTRAL])
    add(50778, 3, [21])
    entries.sort()
    n = len(entries)
    extra_off = 8 + 2 + 12 * n + 4
    extra = b''
    ifd = struct.pack('<H', n)
    fixup = 0
    for tag, typ, cnt, b in entries:
        if len(b) <= 4:
            ifd += struct.pack('<HHI', tag, typ, cnt) + b.ljust(4, b'\0')
        else:
            if (extra_off + len(extra)) % 2:
                extra += b'\0'
            ifd += struct.pack('<HHII', tag, typ, cnt, extra_off + len(extra))
            extra += b
        if tag == 273:
            fixup = len(ifd) - 4
    ifd += struct.pack('<I', 0)
    data_off = extra_off + len(extra)
    data_off += (-data_off) % 16
    ifd = bytearray(ifd)
    ifd[fixup:fixup + 4] = struct.pack('<I', data_off)
    out = b'II*\0' + struct.pack('<I', 8) + bytes(ifd) + extra
    open(path, 'wb').write(out.ljust(data_off, b'\0') + data)


# --- reading developed files -------------------------------------------------

def read_tiff(path):
    """16-bit RGB TIFF -> (float image 0..1, ICC bytes or None)"""
    with tempfile.TemporaryDirectory() as tmp:
        plain = os.path.join(tmp, 'p.tif')
        subprocess.run(['tiffcp', '-c', 'none', '-p', 'contig', '-r', '1000000', path, plain],
                       check=True, stderr=subprocess.DEVNULL)
        b = open(plain, 'rb').read()
    assert b[:2] == b'II'
    off = struct.unpack_from('<I', b, 4)[0]
    n = struct.unpack_from('<H', b, off)[0]
    tags = {}
    for i in range(n):
        tag, typ, cnt, val = struct.unpack_from('<HHII', b, off + 2 + 12 * i)
        size = {1: 1, 2: 1, 3: 2, 4: 4, 7: 1}.get(typ, 4) * cnt
        if size <= 4:
            raw = b[off + 2 + 12 * i + 8:off + 2 + 12 * i + 8 + size]
        else:
            raw = b[val:val + size]
        if typ == 3:
            tags[tag] = struct.unpack('<%dH' % cnt, raw)
        elif typ == 4:
            tags[tag] = struct.unpack('<%dI' % cnt, raw)
        else:
            tags[tag] = raw
    W, H, spp = tags[256][0], tags[257][0], tags[277][0]
    bits = tags[258][0]
    buf = b''.join(b[o:o + c] for o, c in zip(tags[273], tags[279]))
    dt = '<u2' if bits == 16 else 'u1'
    img = np.frombuffer(buf, dt)[:W * H * spp].reshape(H, W, spp)[..., :3].astype(float)
    return img / (65535.0 if bits == 16 else 255.0), tags.get(34675)


def icc_matrix(icc):
    """(RGB -> XYZ D50 matrix, per-channel decode) of a matrix/shaper ICC profile"""
    n = struct.unpack_from('>I', icc, 128)[0]
    tags = {}
    for i in range(n):
        sig, off, size = struct.unpack_from('>4sII', icc, 132 + 12 * i)
        tags[sig.decode()] = icc[off:off + size]

    def xyz(t):
        return [struct.unpack_from('>i', t, 8 + 4 * k)[0] / 65536 for k in range(3)]

    def s15(t, k):
        return struct.unpack_from('>i', t, k)[0] / 65536

    M = np.array([xyz(tags['rXYZ']), xyz(tags['gXYZ']), xyz(tags['bXYZ'])]).T

    def curve(t):
        kind = t[:4]
        if kind == b'curv':
            cnt = struct.unpack_from('>I', t, 8)[0]
            if cnt == 0:
                return lambda v: v
            if cnt == 1:
                g = struct.unpack_from('>H', t, 12)[0] / 256
                return lambda v: v ** g
            tab = np.array(struct.unpack_from('>%dH' % cnt, t, 12)) / 65535
            return lambda v: np.interp(v, np.linspace(0, 1, cnt), tab)
        fn = struct.unpack_from('>H', t, 8)[0]
        p = [s15(t, 12 + 4 * k) for k in range({0: 1, 1: 3, 2: 4, 3: 5, 4: 7}[fn])]
        g = p[0]
        if fn == 0:
            return lambda v: v ** g
        if fn == 3:
            a, b_, c, d = p[1:5]
            return lambda v: np.where(v >= d, (a * v + b_) ** g, c * v)
        if fn == 4:
            a, b_, c, d, e, f = p[1:7]
            return lambda v: np.where(v >= d, (a * v + b_) ** g + e, c * v + f)
        a, b_ = p[1:3]
        return lambda v: np.maximum(a * v + b_, 0) ** g
    return M, [curve(tags[c]) for c in ('rTRC', 'gTRC', 'bTRC')]


SRGB_D50 = np.array([[0.4360, 0.3851, 0.1431], [0.2225, 0.7169, 0.0606], [0.0139, 0.0971, 0.7142]])


def lab(path):
    img, icc = read_tiff(path)
    if icc is not None:
        M, trc = icc_matrix(bytes(icc))
        lin = np.stack([trc[c](np.clip(img[..., c], 0, 1)) for c in range(3)], -1)
    else:
        M = SRGB_D50
        lin = np.where(img <= 0.04045, img / 12.92, ((img + 0.055) / 1.055) ** 2.4)
    xyz = lin @ M.T / np.array([0.9642, 1.0, 0.8249])
    f = np.where(xyz > 216 / 24389, np.cbrt(xyz), (24389 / 27 * xyz + 16) / 116)
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]),
                     200 * (f[..., 1] - f[..., 2])], -1), img


def centred(lb, W, H):
    """outputs may be cropped symmetrically (they are centred on the chart)"""
    h, w = lb.shape[:2]
    full = np.full((H, W) + lb.shape[2:], np.nan)
    ox, oy = (W - w) // 2, (H - h) // 2
    full[oy:oy + h, ox:ox + w] = lb
    return full


def region_pixels(lb, reg):
    name, kind = reg[:2]
    if kind == 'box':
        x, y, w, h = reg[2:]
        return lb[y + 5:y + h - 5, x + 5:x + w - 5].reshape(-1, 3)
    cx, cy, k, lo = reg[2:]
    H, W = lb.shape[:2]
    yy, xx = np.mgrid[0:H, 0:W]
    f = k * np.hypot(xx + 0.5 - cx, yy + 0.5 - cy) / np.pi
    return lb[(f >= lo) & (f < lo + 0.05)]


def measure_pair(cfa, lin):
    """kept, invented, cast, mean a*b* of the CFA render minus the linear one's"""
    ok = ~np.isnan(cfa[:, 0]) & ~np.isnan(lin[:, 0])
    cfa, lin = cfa[ok], lin[ok]
    c = cfa[:, 1:] - cfa[:, 1:].mean(0)
    l_ = lin[:, 1:] - lin[:, 1:].mean(0)
    ll = float((l_ * l_).sum())
    kept = float((c * l_).sum()) / ll if ll > 1e-9 * len(l_) else 0.0
    rest = c - kept * l_ if ll > 1e-9 * len(l_) else c
    invented = float(np.sqrt((rest * rest).sum(1).mean()))
    d = cfa.mean(0) - lin.mean(0)
    return kept, invented, float(np.linalg.norm(d)), d[1:]


def measure(L, layout, cfa_path, lin_path):
    W, H = L['size']
    a = centred(lab(cfa_path)[0], W, H)
    b = centred(lab(lin_path)[0], W, H)
    return {reg[0]: measure_pair(region_pixels(a, reg), region_pixels(b, reg))
            for reg in L['regions']}


def zipper(L, path):
    W, H = L['edge size']
    _, img = lab(path)
    img = centred(img * 255.0, W, H)
    worst = (0.0, '')
    for s, pr, pb, x0, y0, n in L['edges']:
        lines = []
        for d in (-1, 0):  # just outside and the last line inside
            lines += [img[y0 + 6:y0 + n - 6, x0 + d],
                      img[y0 + 6:y0 + n - 6, x0 + n - 1 - d],
                      img[y0 + d, x0 + 6:x0 + n - 6], img[y0 + n - 1 - d, x0 + 6:x0 + n - 6]]
        for ln in lines:
            if np.isnan(ln).all():
                continue
            z = np.abs(ln[1:-1] - 0.5 * (ln[:-2] + ln[2:])).mean(0)
            if float(np.nanmax(z)) > worst[0]:
                worst = (float(np.nanmax(z)), f'x{s} red^{pr} blue^{pb} at {x0},{y0}')
    return worst


def main():
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == 'make':
        out = args[1]
        bal, regions = chart()
        ebal, edges = edge_chart()
        for layout in LAYOUTS:
            for name, b in (('fid', bal), ('edge', ebal)):
                cam = b * NEUTRAL
                write_dng(f'{out}/{name}_{layout}_cfa.dng', to_raw(mosaic(cam, layout)), layout)
                write_dng(f'{out}/{name}_{layout}_linear.dng', to_raw(cam))
        json.dump({'size': [bal.shape[1], bal.shape[0]], 'regions': regions,
                   'edge size': [ebal.shape[1], ebal.shape[0]], 'edges': edges},
                  open(f'{out}/layout.json', 'w'))
    elif len(args) == 5 and args[0] == 'measure':
        L = json.load(open(args[1]))
        for k, (kept, inv, cast, d) in measure(L, args[2], args[3], args[4]).items():
            print('%-28s kept %6.2f  invented %6.2f  cast %5.2f (a* %+.1f b* %+.1f)'
                  % (k, kept, inv, cast, d[0], d[1]))
    elif len(args) >= 3 and args[0] == 'zipper':
        L = json.load(open(args[1]))
        for p in args[2:]:
            print('%-40s %.2f  %s' % ((p,) + zipper(L, p)))
    elif len(args) >= 3 and args[0] == 'compare':
        compare(json.load(open(args[1])), [a.split('=', 1) for a in args[2:]])
    else:
        sys.exit(__doc__)


def compare(L, builds):
    res = {}
    for name, d in builds:
        res[name] = {}
        for layout in LAYOUTS:
            for k, v in measure(L, layout, f'{d}/fid_{layout}_cfa.tif',
                                f'{d}/fid_{layout}_linear.tif').items():
                res[name][f'{layout} {k}'] = v
    names = [n for n, _ in builds]
    keys = list(res[names[0]])
    rows = [('2-px checker, red vs blue', 'rb check2@'),
            ('4-px checker, red vs blue', 'rb check4@'),
            ('4-px checker, purple vs green', 'pg check4@'),
            ('stripes, period 3, 45 deg', 'rb stripes3@45'),
            ('stripes, period 4, 30 deg', 'rb stripes4@30'),
            ('red/blue noise', 'rb noise'),
            ('zone plate red vs blue 0.20-0.45', 'rb zone 0.'),
            ('zone plate purple/green 0.20-0.45', 'pg zone 0.')]
    print('invented colour, worst over layouts and phases (kept share):')
    print('%-36s' % 'region' + ''.join('%18s' % n for n in names))
    for label, pre in rows:
        ks = [k for k in keys if k.split(' ', 1)[1].startswith(pre)
              and (' zone ' not in k or float(k.split()[-1]) >= 0.2)]
        line = '%-36s' % label
        for n in names:
            inv = max(res[n][k][1] for k in ks)
            kept = np.mean([res[n][k][0] for k in ks])
            line += '%11.1f (%4.2f)' % (inv, kept)
        print(line)
    print('mean cast of the 2-px red vs blue checkers (a*, b*):')
    for n in names:
        ks = [k for k in keys if 'rb check2@' in k]
        d = np.mean([res[n][k][3] for k in ks], 0)
        print('  %-16s %+.1f %+.1f (worst cast %.1f)' % (n, d[0], d[1], max(res[n][k][2] for k in ks)))
    print('kept share of 3-px checkers (min..max over pairs, phases and layouts):')
    for n in names:
        ks = [k for k in keys if 'check3@' in k]
        v = [res[n][k][0] for k in ks]
        print('  %-16s %.2f..%.2f mean %.2f' % (n, min(v), max(v), np.mean(v)))
    if len(names) >= 3:
        earlier, peers = names[1], names[2:4]
        print(f'regions over max({earlier}, best peer) + 1, and new casts > 1, of {len(keys)}:')
        for n in names:
            over, casts, worst = [], [], []
            for k in keys:
                limit = max(res[earlier][k][1], min(res[p][k][1] for p in peers)) + 1
                if res[n][k][1] > limit:
                    over.append(k)
                    worst.append(res[n][k][1] - limit)
                if res[n][k][2] > 1 and res[earlier][k][2] <= 1:
                    casts.append(k)
            print('  %-16s %3d over (worst by %.1f), %3d casts  %s %s' % (
                n, len(over), max(worst, default=0), len(casts), over[:6], casts[:6]))


if __name__ == '__main__':
    main()
