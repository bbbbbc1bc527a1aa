"""The geometric search as it was before its two-stage engine: every scale tried in full.

Kept for ``bench/bench_search.py``, which times it against the package's
search in the same run and shows what each finds. Only the engine that was
replaced is here; the plan (:mod:`morvekin_prnu.geometry`) and the single
tests it runs (zero shift, the double-precision peak) are the package's,
unchanged since.
"""

import math

import numpy as np

from morvekin_prnu import search
from morvekin_prnu._fft import irfft2, rfft2
from morvekin_prnu.correlation import rescaled
from morvekin_prnu.geometry import (admissible, chosen_orientations, extent, half_turn, half_turned, plan, to_sensor,
                                    upsampled)
from morvekin_prnu.verdict import Match, judged, pce_threshold


def tested(fingerprint, weighted, rule):
    """The Match of a weighted residual against a fingerprint under ``rule``: the search :func:`plan` gives, run.

    The zero-shift tests and the scale and crop search each get half of the
    false-alarm probability when both are planned, all of it otherwise; the
    search stops at the first decisive peak.
    """
    prepared = search._Prepared(fingerprint)
    image = rescaled(weighted)
    aligned, searches = plan(image.shape, prepared.values.shape, chosen_orientations(rule.orientations),
                             rule.min_scale)
    counts = dict(
        positions=len(aligned) + sum(planned.positions for planned in searches),
        scales=len({math.sqrt(test.scales[0] * test.scales[1]) for test in aligned}
                   | {scale for planned in searches for scale in planned.scales}),
        orientations=len({test.orientation for test in aligned} | {planned.orientation for planned in searches}))
    if not counts["positions"]:
        return Match(0.0, 0.0, (0, 0), False)
    share = 0.5 if aligned and searches else 1.0
    outcomes = []
    if aligned:
        found = search._strongest_found([search._aligned(prepared, image, test) for test in aligned])
        outcomes.append((found, *judged(found.pce, len(aligned), share, rule)))
        if outcomes[-1][1]:
            return search._reported(*outcomes[-1], counts)
    if searches:
        tests = sum(planned.positions for planned in searches)
        limit = rule.threshold if rule.threshold is not None else pce_threshold(share * rule.p_fa, tests)
        found = _searched(prepared, image, searches, limit)
        outcomes.append((found, *judged(found.pce, tests, share, rule)))
    return search._reported(*min(outcomes, key=lambda outcome: (not outcome[1], search._or_worst(outcome[2], 1.0))),
                            counts)


def _searched(prepared, image, searches, limit):
    """The best peak of a scale and crop search; it stops at the first peak above ``limit`` once climbed.

    Every scale is tried in single precision (:func:`_scanned`); the peak
    reported is worked out again in double precision, and only that one
    decides. Climbing: past a scale whose PCE is above ``limit``, the next
    scales of that orientation are tried while the PCE grows, so the scale
    reported is the best one nearby.
    """
    best, climbing = None, {}
    for orientation, scale, value in _scanned(prepared, image, searches):
        if best is None or value > best[0]:
            best = (value, orientation, scale)
        top = climbing.pop(orientation, None)
        if top is not None and value > top[0]:
            climbing[orientation] = (value, orientation, scale)
            continue
        if top is not None:
            found = search._located(prepared, image, *top[1:])
            if found.pce > limit:
                return found
        if value > limit:
            climbing[orientation] = (value, orientation, scale)
    for top in climbing.values():
        found = search._located(prepared, image, *top[1:])
        if found.pce > limit:
            return found
    return search._located(prepared, image, *best[1:])


def _scanned(prepared, image, searches):
    """(orientation, scale, PCE in single precision) for every scale of every search, in order.

    An orientation and its half turn, when both are searched, share the
    up-sampling and the forward transform (:func:`morvekin_prnu.geometry.half_turn`).
    """
    shape = prepared.values.shape
    kernel = prepared.spectrum_in(np.float32)
    planned = {each.orientation for each in searches}
    done = set()
    for each in searches:
        if each.orientation in done:
            continue
        partner = half_turned(each.orientation)
        partner = partner if partner in planned else None
        done |= {each.orientation, partner}
        turned = to_sensor(image, each.orientation)
        for scale in each.scales:
            covered = extent(turned.shape, scale, shape)
            shifts = admissible(covered, shape)
            enlarged = upsampled(turned, covered, (scale, scale), np.float32)
            enlarged -= enlarged.mean()
            forward = rfft2(enlarged, shape, np.float32)
            product = np.conj(forward)
            product *= kernel
            yield each.orientation, scale, search._peak_pce(irfft2(product, shape), shifts)
            if partner is not None:
                half_turn(forward, covered, shape)
                forward *= kernel
                yield partner, scale, search._peak_pce(irfft2(forward, shape), shifts)
