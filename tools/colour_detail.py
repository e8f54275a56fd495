#!/usr/bin/python3
"""Colour detail of red and blue alone, side by side with the peers.

A chart of grey patches of equal green holding checkerboards of 3- and
2-pixel squares, stripes and text whose red and blue are scaled against the
grey (x0.5, x2, x1.5/x0.67, x0.67/x1.5), an orange zone plate of equal green
and a neutral one, written as RGGB DNGs (clean and with noise) with the test
chart's camera matrix. Measures the colour modulation (standard deviation of
a*, b* over each pattern) of developed 8-bit sRGB files, the orange zone
plate's in 0.15-0.20 and 0.20-0.25 cycles per pixel, the neutral plate's
mean chroma (false colour) and the chroma noise of a flat grey.

Needs python3-numpy and python3-pil (Debian). Outputs may be cropped
symmetrically (they are centred on the chart).

  colour_detail.py make OUTDIR
      writes OUTDIR/colour_detail_clean.dng, colour_detail_noise.dng, layout.json
  colour_detail.py measure OUTDIR/layout.json DEVELOPED.jpg...
      prints one column per developed file

For example:
  quorvex --preset Default --out q OUTDIR/*.dng
  darktable-cli OUTDIR/colour_detail_clean.dng dt/colour_detail_clean.jpg --core --configdir TMP
  rawtherapee-cli -o rt/colour_detail_clean.jpg -j95 -Y -c OUTDIR/colour_detail_clean.dng
"""
import json
import struct
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFont

CM = [0.9366, -0.2761, -0.1179, -0.6076, 1.3955, 0.2370, -0.1839, 0.2809, 0.7750]
D65 = np.array([0.3127 / 0.3290, 1.0, (1 - 0.3127 - 0.3290) / 0.3290])
neutral = np.array(CM).reshape(3, 3) @ D65
neutral /= neutral.max()
BLACK, WHITE = 512, 16383
GREY = 0.18
SCALES = [(0.5, 0.5), (2.0, 2.0), (1.5, 0.67), (0.67, 1.5)]
CELL = 96  # each pattern cell, patterns inside with a margin of 16


def patterns():
    """name -> function(u, v) -> bool over a 64x64 area"""
    u, v = np.meshgrid(np.arange(64), np.arange(64))
    out = {}
    out['check3'] = ((u // 3 + v // 3) % 2 == 1)
    out['check2'] = ((u // 2 + v // 2) % 2 == 1)
    out['vstripe3'] = ((u // 3) % 2 == 1)
    out['hstripe2'] = ((v // 2) % 2 == 1)
    img = Image.new('L', (64, 64), 0)
    d = ImageDraw.Draw(img)
    f = ImageFont.load_default()
    for i, line in enumerate(['Quorv', 'ex ab', 'cdefg', 'hijkl', 'mn op', '12345']):
        d.text((2, 1 + 10 * i), line, fill=255, font=f)
    out['text'] = np.array(img) > 127
    return out


def build(noise):
    pats = patterns()
    names = list(pats)
    W = CELL * len(names) + 32
    zp = 320
    H = CELL * len(SCALES) + zp + 48
    W = max(W, 2 * zp + 48)
    W += W % 2
    H += H % 2
    bal = np.full((H, W, 3), GREY)
    layout = {}
    for j, (sr, sb) in enumerate(SCALES):
        for i, n in enumerate(names):
            x0, y0 = 16 + CELL * i + 16, 16 + CELL * j + 16
            m = pats[n]
            blk = bal[y0:y0 + 64, x0:x0 + 64]
            blk[m, 0] = GREY * sr
            blk[m, 2] = GREY * sb
            layout[f'{n}@{sr}/{sb}'] = [x0, y0, 64, 64]
    # orange zone plate of equal green: frequency f = r / (2 R) * ... up to 0.5 at R
    cx, cy = 16 + zp / 2, 16 + CELL * len(SCALES) + 16 + zp / 2
    R = zp / 2
    k = np.pi / (2 * R)  # phase k r^2 -> local freq k r / pi cycles/pixel; 0.5 at R
    yy, xx = np.mgrid[0:H, 0:W]
    r2 = (xx + 0.5 - cx) ** 2 + (yy + 0.5 - cy) ** 2
    inside = r2 <= R * R
    t = 0.5 + 0.5 * np.cos(k * r2)
    orange = np.array([0.40, 0.18, 0.05])
    for c in range(3):
        bal[..., c] = np.where(inside, GREY + t * (orange[c] - GREY), bal[..., c])
    layout['zoneplate'] = [cx, cy, R, k]
    cx2 = cx + zp + 16
    r2 = (xx + 0.5 - cx2) ** 2 + (yy + 0.5 - cy) ** 2
    inside = r2 <= R * R
    # neutral: 0.30 +- 0.25 like the bundled chart's
    v = 0.30 + 0.25 * np.cos(k * r2)
    for c in range(3):
        bal[..., c] = np.where(inside, v, bal[..., c])
    layout['neutralplate'] = [cx2, cy, R, k]
    layout['flat'] = [W - 80, 16, 64, 40]
    layout['size'] = [W, H]
    cam = bal * neutral  # camera RGB, white-balanced back out
    # RGGB
    cfa = np.empty((H, W))
    cfa[0::2, 0::2] = cam[0::2, 0::2, 0]
    cfa[0::2, 1::2] = cam[0::2, 1::2, 1]
    cfa[1::2, 0::2] = cam[1::2, 0::2, 1]
    cfa[1::2, 1::2] = cam[1::2, 1::2, 2]
    raw = BLACK + (WHITE - BLACK) * cfa
    if noise:
        rng = np.random.default_rng(7)
        raw = raw + rng.normal(0, 1, raw.shape) * np.sqrt(4.0 + 0.6 * (raw - BLACK))
    raw = np.clip(np.rint(raw), 0, 65535).astype('<u2')
    return raw, layout


def rat(x):
    return (int(round(x * 10000)), 10000)


def write_dng(path, raw):
    H, W = raw.shape
    entries = []  # (tag, type, count, bytes)
    def add(tag, typ, vals):
        fmt = {1: 'B', 2: 's', 3: 'H', 4: 'I', 5: 'II', 10: 'ii', 7: 'B'}[typ]
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
    add(254, 4, [0]); add(256, 4, [W]); add(257, 4, [H]); add(258, 3, [16]); add(259, 3, [1])
    add(262, 3, [32803]); add(271, 2, 'Quorvex'); add(272, 2, 'ColourDetail')
    add(273, 4, [0]); add(274, 3, [1]); add(277, 3, [1]); add(278, 4, [H]); add(279, 4, [len(data)])
    add(284, 3, [1]); add(33421, 3, [2, 2]); add(33422, 1, [0, 1, 1, 2])
    add(50706, 1, [1, 4, 0, 0]); add(50707, 1, [1, 1, 0, 0]); add(50708, 2, 'Quorvex ColourDetail')
    add(50714, 4, [BLACK]); add(50717, 4, [WHITE])
    add(50721, 10, [rat(v) for v in CM]); add(50728, 5, [rat(v) for v in neutral])
    add(50778, 3, [21])
    entries.sort()
    n = len(entries)
    ifd_off = 8
    extra_off = ifd_off + 2 + 12 * n + 4
    extra = b''
    ifd = struct.pack('<H', n)
    fixups = []
    for tag, typ, cnt, b in entries:
        if len(b) <= 4:
            ifd += struct.pack('<HHI', tag, typ, cnt) + b.ljust(4, b'\0')
        else:
            if (extra_off + len(extra)) % 2:
                extra += b'\0'
            ifd += struct.pack('<HHII', tag, typ, cnt, extra_off + len(extra))
            extra += b
        if tag == 273:
            fixups.append(len(ifd) - 4)
    ifd += struct.pack('<I', 0)
    data_off = extra_off + len(extra)
    data_off += (-data_off) % 16
    ifd = bytearray(ifd)
    for p in fixups:
        ifd[p:p + 4] = struct.pack('<I', data_off)
    out = b'II*\0' + struct.pack('<I', ifd_off) + bytes(ifd) + extra
    out = out.ljust(data_off, b'\0') + data
    open(path, 'wb').write(out)



def lab(img):
    v = img / 255.0
    lin = np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)
    M = np.array([[0.4124, 0.3576, 0.1805], [0.2126, 0.7152, 0.0722], [0.0193, 0.1192, 0.9505]])
    xyz = lin @ M.T / np.array([0.95047, 1.0, 1.08883])
    f = np.where(xyz > 0.008856, np.cbrt(xyz), 7.787 * xyz + 16 / 116)
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]), 200 * (f[..., 1] - f[..., 2])], -1)


def load(path, W, H):
    im = np.asarray(Image.open(path).convert('RGB')).astype(float)
    h, w = im.shape[:2]
    ox, oy = (W - w) // 2, (H - h) // 2  # crops are centred
    full = np.full((H, W, 3), np.nan)
    full[oy:oy + h, ox:ox + w] = im
    return full


def modulation(lb):
    a, b = lb[..., 1].ravel(), lb[..., 2].ravel()
    ok = ~np.isnan(a)
    return float(np.sqrt(np.var(a[ok]) + np.var(b[ok])))


def measure(L, path):
    W, H = L['size']
    lb = lab(load(path, W, H))
    res = {}
    for k, v in L.items():
        if k in ('zoneplate', 'neutralplate', 'flat', 'size'):
            continue
        x, y, w, h = v
        res[k] = modulation(lb[y + 4:y + h - 4, x + 4:x + w - 4])
    cx, cy, R, kk = L['zoneplate']
    yy, xx = np.mgrid[0:H, 0:W]
    r = np.hypot(xx + 0.5 - cx, yy + 0.5 - cy)
    f = kk * r / np.pi
    for lo, hi in ((0.15, 0.20), (0.20, 0.25)):
        res[f'zone {lo}-{hi}'] = modulation(lb[(f >= lo) & (f < hi)])
    cx, cy, R, kk = L['neutralplate']
    r = np.hypot(xx + 0.5 - cx, yy + 0.5 - cy)
    f = kk * r / np.pi
    sel = lb[(r < R - 4)]
    ok = ~np.isnan(sel[:, 1])
    res['neutral false colour'] = float(np.mean(np.hypot(sel[ok, 1], sel[ok, 2])))
    x, y, w, h = L['flat']
    res['chroma noise'] = modulation(lb[y:y + h, x:x + w])
    return res


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == 'make':
        for noise in (False, True):
            raw, layout = build(noise)
            name = 'colour_detail_noise' if noise else 'colour_detail_clean'
            write_dng(f'{sys.argv[2]}/{name}.dng', raw)
        json.dump(layout, open(f'{sys.argv[2]}/layout.json', 'w'))
    elif len(sys.argv) >= 4 and sys.argv[1] == 'measure':
        L = json.load(open(sys.argv[2]))
        cols = sys.argv[3:]
        rs = [measure(L, c) for c in cols]
        print('%-22s' % 'pattern' + ''.join('%14s' % c.split('/')[-2][:13] for c in cols))
        for k in rs[0]:
            print('%-22s' % k + ''.join('%14.2f' % r[k] for r in rs))
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    main()
