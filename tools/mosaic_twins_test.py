#!/usr/bin/python3
"""The twins that mosaic_twins writes hold one scene: each mosaic's sample is
the LinearRaw sample of its colour, the X-Trans layout is the maker's (every
3 x 3 block five greens, two reds, two blues; each row and column of the
repeat holds all three), and black, white, matrix and as-shot white agree.

  mosaic_twins_test.py MOSAIC_TWINS PHOTO_CD_FILE WORK_DIR
"""
import os
import struct
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demosaic_score import scene_neutral, tags_and_raw  # noqa: E402

# The first deviates of a photograph's X-Trans twin under --noise 8, row 100 from
# column 100, in raw levels: a changed generator changes every noisy figure.
GOLDEN = [631, -21, -289, 306, -76, -166]


def make(tool, args, prefix):
    subprocess.run([tool] + args + ['--output', prefix], check=True, stdout=subprocess.DEVNULL)
    return {m: tags_and_raw(f'{prefix}-{m}.dng') for m in ('xtrans', 'rggb', 'linear')}


def check_twins(name, twins, failures):
    lt, lin = twins['linear']
    if lin.shape[2] != 3:
        failures.append(f'{name}: LinearRaw has {lin.shape[2]} samples a pixel')
        return
    for m, dims in (('xtrans', (6, 6)), ('rggb', (2, 2))):
        t, raw = twins[m]
        if t.get(33421) != dims:
            failures.append(f'{name} {m}: repeat {t.get(33421)}')
            continue
        pat = np.array(t[33422]).reshape(dims)
        for key in (256, 257, 50714, 50717, 50721, 50728, 50778):
            # Levels come one per sample: one for a mosaic, three for LinearRaw.
            same = set if key in (50714, 50717) else tuple
            if same(t.get(key, ())) != same(lt.get(key, ())):
                failures.append(f'{name} {m}: tag {key} is {t.get(key)}, LinearRaw {lt.get(key)}')
        h, w = raw.shape[:2]
        colour = np.tile(pat, (h // dims[0] + 1, w // dims[1] + 1))[:h, :w]
        want = np.take_along_axis(lin, colour[..., None], 2)
        if not np.array_equal(raw, want):
            failures.append(f'{name} {m}: {np.count_nonzero(raw != want)} samples differ '
                            'from the LinearRaw sample of their colour')
    pat = np.array(twins['xtrans'][0][33422]).reshape(6, 6)
    for by in (0, 3):
        for bx in (0, 3):
            counts = np.bincount(pat[by:by + 3, bx:bx + 3].ravel(), minlength=3)
            if list(counts) != [2, 5, 2]:
                failures.append(f'{name}: 3 x 3 block at {bx},{by} holds {list(counts)}')
    for axis in (0, 1):
        if any(len(set(line)) != 3 for line in (pat if axis == 0 else pat.T)):
            failures.append(f'{name}: a row or column of the repeat lacks a colour')
    if list(twins['rggb'][0][33422]) != [0, 1, 1, 2]:
        failures.append(f'{name}: the Bayer twin is {twins["rggb"][0][33422]}, not RGGB')


def main():
    tool, pcd, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    failures = []
    photo = make(tool, ['--pcd', pcd], os.path.join(work, 'photo'))
    check_twins('photograph', photo, failures)
    lt, lin = photo['linear']
    if lin.shape[:2] != (512, 768):
        failures.append(f'photograph at Base is {lin.shape[1]} x {lin.shape[0]}, not 768 x 512')
    black, white = lt[50714][0], lt[50717][0]
    if not (lin.min() >= black and lin.max() < white and lin.std() > 500):
        failures.append(f'photograph samples {lin.min()}..{lin.max()} (sd {lin.std():.0f}) '
                        f'do not fill black {black} to white {white} unclipped')
    # A neutral scene sits on the as-shot white in every pixel.
    plate = make(tool, ['--zone-plate', 'neutral', '--size', '120x90'], os.path.join(work, 'zone'))
    check_twins('zone plate', plate, failures)
    zt, zone = plate['linear']
    balanced = (zone - black) / np.array(zt[50728])
    if zone.shape[:2] != (90, 120) or np.abs(balanced - balanced[..., 1:2]).max() > 2:
        failures.append('the neutral zone plate is not neutral, or not 120 x 90')
    # The scorer's false colour is taken where the scene is neutral.
    colour = make(tool, ['--zone-plate', 'colour', '--size', '120x90'], os.path.join(work, 'hue'))
    check_twins('colour zone plate', colour, failures)
    if not scene_neutral(os.path.join(work, 'zone-linear.dng')).all() or \
            scene_neutral(os.path.join(work, 'hue-linear.dng')).mean() > 0.05:
        failures.append('the scorer\'s neutral parts miss the neutral plate or hold the colour one')
    # Noise goes on the mosaics alone: the ratio asked for at 18 % grey, shot
    # and read noise alike there, shared by both mosaics where they sample
    # one colour, and the very same deviates on every machine.
    noisy = make(tool, ['--pcd', pcd, '--noise', '8'], os.path.join(work, 'noisy'))
    if not np.array_equal(noisy['linear'][1], lin):
        failures.append('--noise touched the LinearRaw twin')
    residual = {}
    for m, dims in (('xtrans', (6, 6)), ('rggb', (2, 2))):
        t, raw = noisy[m]
        pat = np.array(t[33422]).reshape(dims)
        h, w = raw.shape[:2]
        colour = np.tile(pat, (h // dims[0] + 1, w // dims[1] + 1))[:h, :w]
        want = np.take_along_axis(lin, colour[..., None], 2)[..., 0].astype(float)
        residual[m] = (raw[..., 0] - want) / (white - black)
        residual[m + ' colour'] = colour
        signal = (want - black) / (white - black)
        clear = (raw[..., 0] > 0) & (raw[..., 0] < white)
        expected = np.where(clear, signal * 0.18 / 128 + 0.18 ** 2 / 128, 0)
        grey = clear & (np.abs(signal - 0.18) < 0.02)
        ratio = (residual[m] ** 2).sum() / expected.sum()
        snr = 0.18 / residual[m][grey].std()
        if not (0.95 < ratio < 1.05 and 7.6 < snr < 8.4 and raw.max() <= white):
            failures.append(f'{m} under --noise 8: variance {ratio:.3f} of the model\'s, '
                            f'SNR {snr:.2f} at 18 % grey, largest sample {raw.max()}')
    same = residual['xtrans colour'] == residual['rggb colour']
    if not np.array_equal(residual['xtrans'][same], residual['rggb'][same]):
        failures.append('the two mosaics draw different noise for one colour at one site')
    first = np.round(residual['xtrans'][100, 100:106] * (white - black)).astype(int).tolist()
    if first != GOLDEN:
        failures.append(f'the noise generator drew {first}, not {GOLDEN}')
    refused = subprocess.run([tool, '--zone-plate', 'neutral', '--noise', '0', '--output',
                              os.path.join(work, 'silent')], capture_output=True)
    if refused.returncode != 2:
        failures.append('--noise 0 was not refused')
    big = make(tool, ['--pcd', pcd, '--size', '1536x1020', '--only', 'xtrans,rggb,linear'],
               os.path.join(work, 'big'))
    check_twins('resampled photograph', big, failures)
    if big['linear'][1].shape[:2] != (1020, 1536):
        failures.append('--size 1536x1020 gave %s' % (big['linear'][1].shape[:2],))
    # Two windows of the full-resolution decode, 6 pixels apart, share what
    # they overlap; one past the image's edge is refused.
    crops = [make(tool, ['--pcd', pcd, '--size', '96x60', '--crop', at, '--only',
                         'xtrans,rggb,linear'], os.path.join(work, 'crop' + str(i)))
             for i, at in enumerate(('1200,800', '1206,803'))]
    check_twins('full-resolution crop', crops[0], failures)
    first, second = crops[0]['linear'][1], crops[1]['linear'][1]
    if first.shape[:2] != (60, 96) or not np.array_equal(first[3:, 6:], second[:-3, :-6]):
        failures.append('two --crop windows of one decode do not line up')
    past = subprocess.run([tool, '--pcd', pcd, '--size', '96x60', '--crop', '3000,2000',
                           '--output', os.path.join(work, 'past')], capture_output=True)
    if past.returncode != 1 or b'past' not in past.stderr:
        failures.append('a --crop past the image was not refused')
    bad = subprocess.run([tool, '--zone-plate', 'neutral', '--size', '100x90', '--output',
                          os.path.join(work, 'bad')], capture_output=True)
    if bad.returncode != 2 or os.path.exists(os.path.join(work, 'bad-xtrans.dng')):
        failures.append('a width that cuts the 6 x 6 repeat was not refused')
    for f in failures:
        print('mosaic_twins: ' + f)
    print('twins %s' % ('differ' if failures else 'agree'))
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
