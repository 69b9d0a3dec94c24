#!/usr/bin/env python3
"""Draws Merlin, Murmelo's friendly wizard, and writes his frames and character.json.

Run it after changing the drawing; the output is kept in the repository and packed
at build time. Frame units: 200 x 240, the feet at the bottom, the hat tip at the top.
"""
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from charkit import Character, g, tr, fmt, star_path, sparkle_path  # noqa: E402
from charprops import envelope, sparkles, prop  # noqa: E402

W, H = 200, 252
TOP = 12   # headroom above the hat tip for jumps
INK = '#2b2340'
SKIN = '#f6c7a1'
SKIN_SHADE = '#e9a886'
BEARD = '#f7f6fb'
BEARD_SHADE = '#d9d6e8'
ROBE = '#4b56c9'
ROBE_DARK = '#343c9e'
GOLD = '#ffcf4a'
GOLD_DARK = '#e0a21c'

DEFS = (
    '<linearGradient id="robe" x1="0" y1="0" x2="1" y2="0">'
    '<stop offset="0" stop-color="#3a44ad"/><stop offset="0.45" stop-color="#5a66dc"/>'
    '<stop offset="1" stop-color="#333c9c"/></linearGradient>'
    '<linearGradient id="hat" x1="0" y1="0" x2="1" y2="0">'
    '<stop offset="0" stop-color="#3a44ad"/><stop offset="0.5" stop-color="#5965d8"/>'
    '<stop offset="1" stop-color="#2f3890"/></linearGradient>'
    '<radialGradient id="face" cx="0.45" cy="0.4" r="0.6">'
    '<stop offset="0" stop-color="#fcdcbc"/><stop offset="1" stop-color="#f0b994"/></radialGradient>'
    '<radialGradient id="glow" cx="0.5" cy="0.5" r="0.5">'
    '<stop offset="0" stop-color="#fff6c0" stop-opacity="0.95"/>'
    '<stop offset="1" stop-color="#ffe27a" stop-opacity="0"/></radialGradient>'
    '<linearGradient id="book" x1="0" y1="0" x2="0" y2="1">'
    '<stop offset="0" stop-color="#c0392b"/><stop offset="1" stop-color="#8e2a20"/></linearGradient>'
)

STROKE = 'stroke="%s" stroke-width="2.6" stroke-linejoin="round" stroke-linecap="round"' % INK

# Where the mouth shapes are drawn while speaking, in frame units.
MOUTH = (88, 121 + TOP, 24, 15)

REST = dict(dy=0, sy=1.0, scale=1.0, opacity=1.0, tilt=0,
            lArm=(12, -8), rArm=(25, -30), wandDir=14,   # (upper arm, forearm) in degrees; 0 hangs down
            eyes='open', look=(0, 0), brows=0, browTilt=0, mouth='smile', blush=0.45,
            wand=True, wandGlow=0, props=(), cloud=0, spread=1.0, sparkles=0, frontL=False)


def pose(**kw):
    p = dict(REST)
    p.update(kw)
    return p


# ---------------------------------------------------------------- parts

def robe():
    body = ('<path d="M78,140 Q100,130 122,140 C130,170 142,200 152,226 Q100,240 48,226 '
            'C58,200 70,170 78,140 Z" fill="url(#robe)" %s/>' % STROKE)
    trim = ('<path d="M50,222 Q100,236 150,222 L152,227 Q100,241 48,227 Z" fill="%s" '
            'stroke="%s" stroke-width="1.6" stroke-linejoin="round"/>' % (GOLD, INK))
    stars = ''.join('<path d="%s" fill="%s"/>' % (star_path(x, y, r, r * 0.45), GOLD)
                    for x, y, r in ((70, 206, 4.5), (128, 196, 5), (112, 218, 3.5), (84, 178, 3)))
    moon = ('<path d="M131,168 a7,7 0 1,0 6,10 a5.5,5.5 0 1,1 -6,-10 Z" fill="%s"/>' % GOLD)
    shoes = ('<path d="M70,228 C62,228 56,232 52,228 C54,236 66,238 80,236 Z" fill="#7a4a2a" %s/>'
             '<path d="M130,228 C138,228 144,232 148,228 C146,236 134,238 120,236 Z" fill="#7a4a2a" %s/>'
             % (STROKE, STROKE))
    return shoes + body + trim + stars + moon


def arm(upper, fore, item=''):
    """The viewer's left arm; the right one is drawn mirrored."""
    sleeve = ('<path d="M-8,-4 Q0,-9 8,-4 L9,26 L-9,26 Z" fill="url(#robe)" %s/>' % STROKE)
    cuff_sleeve = ('<path d="M-9,-2 L9,-2 L14,24 Q0,30 -14,24 Z" fill="url(#robe)" %s/>'
                   '<path d="M-14,22 Q0,28 14,22 L14.6,25 Q0,31.5 -14.6,25 Z" fill="%s" stroke="%s" '
                   'stroke-width="1.4"/>' % (STROKE, GOLD, INK))
    hand = ('<circle cx="0" cy="31" r="7.5" fill="%s" %s/>'
            '<path d="M-4,33 Q0,36 4,33" fill="none" stroke="%s" stroke-width="1.3" '
            'stroke-linecap="round" opacity="0.6"/>' % (SKIN, STROKE, SKIN_SHADE))
    joint = '<circle cx="0" cy="0" r="8.5" fill="%s"/>' % ROBE
    forearm = g([cuff_sleeve, item, hand], tr(0, 24, fore))
    return g([sleeve, joint, forearm], '')


def wand(glow, alpha):
    out = []
    if glow:
        out.append('<circle cx="0" cy="-50" r="%s" fill="url(#glow)"/>' % fmt(14 + 8 * glow))
    out.append('<path d="M-2.2,12 L2.2,12 L1.5,-44 L-1.5,-44 Z" fill="#8a5a34" %s/>' % STROKE)
    out.append('<path d="%s" fill="%s" stroke="%s" stroke-width="2" stroke-linejoin="round"/>'
               % (star_path(0, -50, 10, 4.4), GOLD, INK))
    if glow:
        for i, (dx, dy, r) in enumerate(((-14, -62, 5), (13, -58, 4), (8, -72, 3))):
            out.append('<path d="%s" fill="#fff3a8" opacity="%s"/>'
                       % (sparkle_path(dx, dy, r * (0.6 + 0.4 * glow)), fmt(0.5 + 0.5 * glow)))
    # drawn in hand coordinates; alpha turns it to the wanted direction on screen
    return g(out, tr(0, 31, alpha))


def head(p):
    lx, ly = p['look']
    out = []
    # ears
    out.append('<ellipse cx="67" cy="106" rx="6" ry="8" fill="%s" %s/>' % (SKIN, STROKE))
    out.append('<ellipse cx="133" cy="106" rx="6" ry="8" fill="%s" %s/>' % (SKIN, STROKE))
    out.append('<circle cx="100" cy="104" r="33" fill="url(#face)" %s/>' % STROKE)
    # cheeks
    if p['blush']:
        out.append('<ellipse cx="78" cy="112" rx="7" ry="4.5" fill="#ff8fa3" opacity="%s"/>'
                   '<ellipse cx="122" cy="112" rx="7" ry="4.5" fill="#ff8fa3" opacity="%s"/>'
                   % (fmt(float(p['blush'])), fmt(float(p['blush']))))
    out.append(eyes(p['eyes'], lx, ly))
    out.append(brows(p['brows'], p['browTilt']))
    return ''.join(out)


def eyes(kind, lx, ly):
    out = []
    for cx, side in ((87, -1), (113, 1)):
        cy = 101
        if kind == 'open' or kind == 'wide':
            ry = 7.5 if kind == 'wide' else 6
            rx = 5.2 if kind == 'wide' else 4.4
            if kind == 'wide':
                out.append('<ellipse cx="%s" cy="%s" rx="7" ry="8.5" fill="#ffffff" %s/>'
                           % (cx, cy, 'stroke="%s" stroke-width="1.6"' % INK))
                rx, ry = 3.6, 4.6
            out.append('<ellipse cx="%s" cy="%s" rx="%s" ry="%s" fill="%s"/>'
                       % (fmt(cx + lx), fmt(cy + ly), rx, ry, INK))
            out.append('<circle cx="%s" cy="%s" r="1.7" fill="#ffffff"/>'
                       % (fmt(cx + lx + 1.4), fmt(cy + ly - 2.2)))
        elif kind == 'half':
            out.append('<path d="M%s,%s a4.6,4 0 0,0 9.2,0 Z" fill="%s" %s/>'
                       % (fmt(cx - 4.6), cy, INK, 'stroke="%s" stroke-width="1.2"' % INK))
            out.append('<path d="M%s,%s L%s,%s" stroke="%s" stroke-width="2.4" stroke-linecap="round"/>'
                       % (fmt(cx - 5.4), cy, fmt(cx + 5.4), cy, INK))
        elif kind == 'closed':
            out.append('<path d="M%s,%s Q%s,%s %s,%s" fill="none" stroke="%s" stroke-width="2.6" '
                       'stroke-linecap="round"/>' % (fmt(cx - 5.5), cy, cx, cy + 4, fmt(cx + 5.5), cy, INK))
        elif kind == 'happy':
            out.append('<path d="M%s,%s Q%s,%s %s,%s" fill="none" stroke="%s" stroke-width="2.8" '
                       'stroke-linecap="round"/>' % (fmt(cx - 5.5), cy + 2, cx, cy - 5, fmt(cx + 5.5), cy + 2, INK))
        elif kind == 'sad':
            out.append('<ellipse cx="%s" cy="%s" rx="4" ry="5" fill="%s"/>' % (cx, cy + 1, INK))
            out.append('<circle cx="%s" cy="%s" r="1.5" fill="#ffffff"/>' % (fmt(cx + 1.2), cy - 1))
            # drooping upper lid
            out.append('<path d="M%s,%s L%s,%s" stroke="%s" stroke-width="2.4" stroke-linecap="round"/>'
                       % (fmt(cx - 5 * side), cy - 6, fmt(cx + 5 * side), cy - 3, INK))
    return ''.join(out)


def brows(raise_, tilt):
    out = []
    for cx, side in ((86, -1), (114, 1)):
        y = 89 - raise_
        # tilt > 0: inner ends up (worried); tilt < 0: inner ends down (determined)
        inner = y - tilt
        outer = y + tilt * 0.4
        xi, xo = cx - 7 * side, cx + 8 * side
        if side < 0:
            xi, xo = cx + 7, cx - 8
        out.append('<path d="M%s,%s Q%s,%s %s,%s Q%s,%s %s,%s Z" fill="%s" stroke="%s" stroke-width="1.5" '
                   'stroke-linejoin="round"/>'
                   % (fmt(xo), fmt(outer + 1), fmt(cx), fmt(min(inner, outer) - 5), fmt(xi), fmt(inner),
                      fmt(cx), fmt(min(inner, outer) + 0.5), fmt(xo), fmt(outer + 1), BEARD, INK))
    return ''.join(out)


def beard_and_face(p, with_mouth=True):
    out = []
    out.append('<path d="M69,106 C66,126 74,152 86,166 C90,174 96,180 100,186 C104,180 110,174 114,166 '
               'C126,152 134,126 131,106 C124,118 112,117 100,117 C88,117 76,118 69,106 Z" fill="%s" %s/>'
               % (BEARD, STROKE))
    # soft curls in the beard
    out.append('<path d="M84,146 q4,6 8,0 M104,152 q4,6 8,0 M94,166 q3,5 6,0 M78,130 q3,5 6,0 '
               'M116,132 q3,5 6,0" fill="none" stroke="%s" stroke-width="1.6" stroke-linecap="round"/>'
               % BEARD_SHADE)
    if with_mouth:
        out.append(g(mouth_shape(p['mouth']), tr(MOUTH[0], MOUTH[1])))
    # moustache
    out.append('<path d="M100,116 C94,110 82,110 75,118 C72,121 70,124 72,126 C78,122 90,124 100,121 '
               'C110,124 122,122 128,126 C130,124 128,121 125,118 C118,110 106,110 100,116 Z" fill="%s" %s/>'
               % (BEARD, STROKE))
    # nose
    out.append('<ellipse cx="100" cy="111" rx="7" ry="6" fill="#f3a98a" %s/>' % STROKE)
    out.append('<ellipse cx="97.5" cy="109" rx="2.2" ry="1.5" fill="#ffffff" opacity="0.7"/>')
    return ''.join(out)


def mouth_shape(kind):
    """A mouth in a 24 x 15 box whose top edge hides under the moustache."""
    dark = '#6b2637'
    tongue = '#ff7f8f'
    s = 'stroke="%s" stroke-width="2" stroke-linejoin="round" stroke-linecap="round"' % INK
    if kind == 'closed':
        return '<path d="M6,7 Q12,10 18,7" fill="none" %s/>' % s
    if kind == 'smile':
        return '<path d="M4,5 Q12,13 20,5" fill="none" %s/>' % s
    if kind == 'frown':
        return '<path d="M6,11 Q12,5 18,11" fill="none" %s/>' % s
    if kind == 'small':
        return '<ellipse cx="12" cy="8" rx="4.5" ry="3" fill="%s" %s/>' % (dark, s)
    if kind == 'open':
        return ('<path d="M5,4 Q12,2 19,4 Q19,14 12,14 Q5,14 5,4 Z" fill="%s" %s/>'
                '<path d="M8,12 Q12,9 16,12 Q12,14 8,12 Z" fill="%s"/>' % (dark, s, tongue))
    if kind == 'wide':
        return ('<path d="M2,4 Q12,3 22,4 Q19,13 12,13 Q5,13 2,4 Z" fill="%s" %s/>'
                '<path d="M4,5 Q12,4.4 20,5 L19,7 Q12,6.6 5,7 Z" fill="#ffffff"/>' % (dark, s))
    if kind == 'round':
        return ('<ellipse cx="12" cy="8.5" rx="4.6" ry="5.4" fill="%s" %s/>'
                '<ellipse cx="12" cy="11" rx="2.6" ry="1.8" fill="%s"/>' % (dark, s, tongue))
    if kind == 'grin':
        return ('<path d="M3,3 Q12,3 21,3 Q19,14 12,14 Q5,14 3,3 Z" fill="%s" %s/>'
                '<path d="M7,11 Q12,8 17,11 Q12,14 7,11 Z" fill="%s"/>' % (dark, s, tongue))
    raise ValueError(kind)


def hat():
    out = []
    out.append('<path d="M62,82 C74,60 88,34 102,16 C110,6 124,2 136,10 C126,12 118,18 116,28 '
               'C120,48 130,66 138,82 Z" fill="url(#hat)" %s/>' % STROKE)
    out.append('<path d="M68,74 Q100,66 132,74 L136,82 Q100,74 64,82 Z" fill="%s" stroke="%s" '
               'stroke-width="1.6" stroke-linejoin="round"/>' % (GOLD, INK))
    out.append('<ellipse cx="100" cy="83" rx="50" ry="9" fill="#3a44ad" %s/>' % STROKE)
    out.append('<path d="%s" fill="%s"/>' % (star_path(98, 52, 7, 3), GOLD))
    out.append('<path d="%s" fill="%s"/>' % (star_path(114, 36, 4, 1.8), GOLD))
    out.append('<path d="M84,60 a5,5 0 1,0 4,7 a4,4 0 1,1 -4,-7 Z" fill="%s"/>' % GOLD)
    out.append('<circle cx="136" cy="11" r="4" fill="%s" stroke="%s" stroke-width="1.6"/>' % (GOLD, INK))
    return ''.join(out)


def cloud(amount, spread=1.0):
    """A puff of magic smoke: amount 0 (none) .. 1 (covering the wizard); a spread
    above 1 drifts the puffs apart as the smoke clears."""
    if amount <= 0:
        return ''
    puffs = ((100, 170, 52), (62, 182, 34), (138, 182, 34), (78, 136, 36), (124, 136, 36),
             (100, 110, 40), (100, 206, 38), (54, 214, 24), (146, 214, 24))
    out = []
    for x, y, r in puffs:
        px, py = x, y
        if spread > 1:
            # clearing: the middle puffs are gone, the others drift outwards
            if abs(x - 100) < 30:
                continue
            px = 100 + (x - 100) * spread * 1.8
        out.append('<circle cx="%s" cy="%s" r="%s" fill="#e9e4ff" stroke="#b9aef0" stroke-width="2"/>'
                   % (fmt(px), fmt(py), fmt(r * amount)))
    return g(out, opacity=min(1.0, 0.4 + amount) if spread <= 1 else amount)


def draw(p, with_mouth=True):
    body = []
    body.append(robe())
    lu, lf = p['lArm']
    ru, rf = p['rArm']
    left_item = envelope() if 'envelope' in p['props'] else ''
    right_item = wand(p['wandGlow'], -(ru + rf) - p['wandDir']) if p['wand'] else ''
    front_arms = 'book' in ''.join(p['props'])
    arms = [g(arm(lu, lf, left_item), tr(78, 146, lu)),
            g(g(arm(ru, rf, right_item), tr(78, 146, ru)), 'translate(200 0) scale(-1 1)')]
    if not front_arms:
        body.append(arms[1])
        if not p['frontL']:
            body.append(arms[0])
    upper = [head(p), beard_and_face(p, with_mouth), hat()]
    body.append(g(upper, tr(rot=p['tilt'], ox=100, oy=150)))
    if front_arms:
        body.extend(arms)
    elif p['frontL']:
        body.append(arms[0])
    for name in p['props']:
        if name.startswith('book'):
            body.append(prop(name))
    figure = g(body, tr(0, p['dy']) + ' ' + tr(sx=p['scale'], sy=p['scale'] * p['sy'], ox=100, oy=236),
               opacity=p['opacity'])
    back = [sparkles(p['sparkles'], 1)]
    front = [cloud(p['cloud'], p['spread'])] + [prop(n) for n in p['props']
                                                 if not n.startswith('book') and n != 'envelope']
    if p['opacity'] <= 0 or p['scale'] <= 0:
        figure = ''
    return g(''.join(back) + figure + ''.join(front), tr(0, TOP))


# ---------------------------------------------------------------- animations

def main():
    here = os.path.dirname(os.path.abspath(__file__))
    c = Character(here, 'Merlin', W, H, DEFS)
    F = lambda label, **kw: c.frame(label, draw(pose(**kw)))  # noqa: E731

    rest = F('rest')
    blink_half = F('blink-half', eyes='half')
    blink_shut = F('blink-shut', eyes='closed')
    c.animation('RestPose', [(rest, 1000)], ret=None)
    c.animation('Blink', [(blink_half, 50), (blink_shut, 90), (blink_half, 50), (rest, 60)])

    # Show: a puff of smoke with sparkles, the wizard appears inside it.
    c.animation('Show', [
        (F('show-1', scale=0.0, cloud=0.25, sparkles=0.4), 70),
        (F('show-2', scale=0.0, cloud=0.6, sparkles=0.8), 70),
        (F('show-3', scale=0.55, opacity=0.6, cloud=0.95, sparkles=1.0), 80),
        (F('show-4', scale=0.9, cloud=0.7, sparkles=1.0, eyes='closed', mouth='smile'), 80),
        (F('show-5', sy=1.03, cloud=0.45, spread=1.3, sparkles=0.6, eyes='happy'), 90),
        (F('show-6', cloud=0.2, spread=1.6, sparkles=0.3, eyes='happy', wandGlow=0.6), 110),
        (rest, 120),
    ])
    c.animation('Hide', [
        (F('hide-1', rArm=(60, -100), wandGlow=1.0, eyes='happy', sparkles=0.4), 120),
        (F('hide-2', rArm=(60, -100), wandGlow=1.0, cloud=0.4, sparkles=0.8, eyes='closed'), 80),
        (F('hide-3', scale=0.7, opacity=0.7, cloud=0.9, sparkles=1.0), 80),
        (F('hide-4', scale=0.0, cloud=0.7, sparkles=0.8), 80),
        (F('hide-5', scale=0.0, cloud=0.45, spread=1.3, sparkles=0.4), 80),
        (F('hide-5b', scale=0.0, cloud=0.2, spread=1.6, sparkles=0.2), 70),
        (F('hide-6', scale=0.0, cloud=0.0, sparkles=0.0), 60),
    ], ret=None)

    look_l = F('look-left', look=(-2.5, 0))
    look_r = F('look-right', look=(2.5, 0))
    look_up = F('look-up', look=(1, -2.5), brows=2)
    c.animation('Idle1', [
        (look_l, 700), (rest, 200), (look_r, 700), (blink_half, 50), (blink_shut, 90), (blink_half, 50),
        (rest, 400)])
    # Idle2: strokes his beard, humming.
    stroke1 = F('stroke-1', lArm=(-20, -62), frontL=True, eyes='happy', mouth='closed', look=(0, 0))
    stroke2 = F('stroke-2', lArm=(-18, -70), frontL=True, eyes='happy', mouth='closed', dy=1)
    c.animation('Idle2', [
        (F('stroke-0', lArm=(-5, -40), frontL=True, mouth='closed'), 120), (stroke1, 260), (stroke2, 260), (stroke1, 260),
        (stroke2, 260), (F('stroke-0', lArm=(-5, -40), frontL=True, mouth='closed'), 120), (look_up, 500), (rest, 200)])

    # Greet: a little bow with a smile and the wand raised.
    c.animation('Greet', [
        (F('greet-1', tilt=-4, rArm=(40, -100), eyes='happy', mouth='grin'), 120),
        (F('greet-2', tilt=-8, dy=3, rArm=(70, -95), eyes='happy', mouth='grin', wandGlow=0.5), 160),
        (F('greet-3', tilt=-8, dy=3, rArm=(85, -90), eyes='happy', mouth='grin', wandGlow=1.0, sparkles=0.5), 260),
        (F('greet-2', tilt=-8, dy=3, rArm=(70, -95), eyes='happy', mouth='grin', wandGlow=0.5), 140),
        (F('greet-4', tilt=-3, mouth='smile'), 120), (rest, 100)])

    w1 = F('wave-1', lArm=(130, -30), mouth='grin', eyes='happy')
    w2 = F('wave-2', lArm=(145, 10), mouth='grin', eyes='happy', tilt=2)
    c.animation('Wave', [
        (F('wave-0', lArm=(80, -40), mouth='smile'), 90), (w1, 140), (w2, 140), (w1, 140), (w2, 140),
        (w1, 140), (F('wave-0', lArm=(80, -40), mouth='smile'), 90), (rest, 100)])

    # Announce: conjures a letter and holds it up.
    c.animation('Announce', [
        (F('announce-1', rArm=(60, -100), wandGlow=1.0, sparkles=0.6, look=(-2, -1)), 140),
        (F('announce-2', lArm=(100, -70), props=('envelope',), sparkles=1.0, mouth='open', eyes='wide',
           brows=3), 160),
        (F('announce-3', lArm=(120, -60), props=('envelope',), sparkles=0.5, mouth='grin', eyes='happy',
           dy=-3), 420),
        (F('announce-2', lArm=(100, -70), props=('envelope',), sparkles=1.0, mouth='open', eyes='wide',
           brows=3), 260),
        (F('announce-4', lArm=(40, -40), mouth='smile'), 120), (rest, 100)])

    ga1 = F('attention-1', lArm=(150, -10), rArm=(150, -10), eyes='wide', brows=4, mouth='open',
            dy=-10, props=('exclaim',))
    ga2 = F('attention-2', lArm=(135, 20), rArm=(135, 20), eyes='wide', brows=4, mouth='wide', dy=0,
            props=('exclaim',), wandGlow=0.8)
    c.animation('GetAttention', [
        (F('attention-0', dy=3, sy=0.96, lArm=(60, 0), rArm=(60, 0)), 90), (ga1, 150), (ga2, 150), (ga1, 150),
        (ga2, 150), (F('attention-0', dy=3, sy=0.96, lArm=(60, 0), rArm=(60, 0)), 90), (rest, 100)])

    e1 = F('explain-1', lArm=(60, -70), eyes='open', brows=2, mouth='open')
    e2 = F('explain-2', lArm=(70, -50), eyes='open', brows=1, mouth='smile', tilt=2)
    c.animation('Explain', [(e1, 300), (e2, 300), (e1, 300), (e2, 300), (rest, 100)])

    r0 = F('read-0', lArm=(-5, -100), rArm=(-5, -100), wand=False, props=('book',), look=(0, 3),
           mouth='closed')
    r1 = F('read-1', lArm=(-5, -100), rArm=(-5, -100), wand=False, props=('book',), look=(-2, 3),
           mouth='closed')
    c.animation('Read', [
        (r0, 400), (r1, 500), (F('read-2', lArm=(-5, -100), rArm=(-5, -100), wand=False, props=('book1',),
                                 look=(1, 3), mouth='closed'), 140),
        (F('read-3', lArm=(-5, -100), rArm=(-5, -100), wand=False, props=('book-1',), look=(1, 3),
           mouth='closed'), 140), (r0, 400), (r1, 500), (rest, 100)])

    t1 = F('think-1', lArm=(-28, -120), frontL=True, look=(2, -3), brows=3, browTilt=1, mouth='closed', props=('dots1',))
    t2 = F('think-2', lArm=(-28, -120), frontL=True, look=(2, -3), brows=3, browTilt=1, mouth='closed', props=('dots2',))
    t3 = F('think-3', lArm=(-28, -120), frontL=True, look=(2, -3), brows=3, browTilt=1, mouth='closed',
           props=('dots3', 'question'))
    c.animation('Think', [(t1, 300), (t2, 300), (t3, 500), (t2, 200), (t3, 500), (rest, 100)])

    c.animation('Surprised', [
        (F('surprised-1', eyes='wide', brows=5, mouth='round', dy=-8, lArm=(50, 0), rArm=(50, -40)), 120),
        (F('surprised-2', eyes='wide', brows=6, mouth='round', dy=-2, lArm=(40, 0), rArm=(40, -50),
           props=('exclaim',)), 500),
        (F('surprised-3', eyes='open', brows=3, mouth='small'), 200), (rest, 100)])

    cg1 = F('congrats-1', lArm=(150, -10), rArm=(150, -10), eyes='happy', mouth='grin', dy=-10,
            wandGlow=1.0, props=('stars0', 'confetti0'))
    cg2 = F('congrats-2', lArm=(140, 10), rArm=(140, 10), eyes='happy', mouth='grin', dy=0, wandGlow=0.6,
            props=('stars1', 'confetti1'))
    c.animation('Congratulate', [
        (F('attention-0', dy=3, sy=0.96, lArm=(60, 0), rArm=(60, 0)), 80), (cg1, 160), (cg2, 160), (cg1, 160),
        (cg2, 160), (F('congrats-3', eyes='happy', mouth='smile', props=('stars0',)), 200), (rest, 100)])

    p1 = F('pleased-1', eyes='happy', mouth='grin', blush=0.8, tilt=3)
    p2 = F('pleased-2', eyes='happy', mouth='grin', blush=0.8, tilt=-2, dy=-2)
    c.animation('Pleased', [(p1, 250), (p2, 250), (p1, 250), (p2, 250), (rest, 100)])

    s1 = F('sad-1', eyes='sad', brows=-1, browTilt=3, mouth='frown', tilt=-4, blush=0.2, dy=2,
           lArm=(4, -4), rArm=(12, -20), wandDir=55)
    s2 = F('sad-2', eyes='sad', brows=-1, browTilt=3, mouth='frown', tilt=-5, blush=0.2, dy=3,
           lArm=(4, -4), rArm=(12, -20), wandDir=55, props=('tear',))
    c.animation('Sad', [(s1, 400), (s2, 900), (s1, 300), (rest, 100)])

    # Speaking: the rest pose without a mouth; the mouth shapes are drawn into MOUTH.
    base = c.frame('speak-base', draw(pose(), with_mouth=False))
    shapes = {}
    for kind in ('closed', 'small', 'open', 'wide', 'round'):
        shapes[kind] = c.frame('mouth-' + kind, mouth_shape(kind), width=MOUTH[2], height=MOUTH[3])
    c.write('Hello, I am Merlin~~Greetings, friend~~Hi there~~Welcome back^^A friendly wizard who reads your mail',
            {'espeak': 'en-us+m3', 'pitch': 50, 'speed': 160},
            {'base': base, 'mouth': dict(zip(('x', 'y', 'width', 'height'), MOUTH)), 'shapes': shapes})


if __name__ == '__main__':
    main()
