#!/usr/bin/env python3
"""Draws Robby, Murmelo's friendly little robot, and writes his frames and character.json.

Run it after changing the drawing; the output is kept in the repository and packed
at build time. Frame units: 200 x 252, the feet at the bottom, the antenna at the top.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from charkit import Character, g, tr, fmt, star_path  # noqa: E402
from charprops import BOOK_DEFS, envelope, sparkles, prop  # noqa: E402

W, H = 200, 252
TOP = 12   # headroom above the antenna for jumps
INK = '#26314a'
METAL = '#dfe7ef'
LED = '#62f2ff'
LED_DIM = '#2a8ea6'
SCREEN = '#1c2742'
ACCENT = '#ff9f43'
STROKE = 'stroke="%s" stroke-width="2.6" stroke-linejoin="round" stroke-linecap="round"' % INK

DEFS = (
    '<linearGradient id="metal" x1="0" y1="0" x2="1" y2="0">'
    '<stop offset="0" stop-color="#b9c6d4"/><stop offset="0.4" stop-color="#f4f8fb"/>'
    '<stop offset="1" stop-color="#a9b7c7"/></linearGradient>'
    '<linearGradient id="body" x1="0" y1="0" x2="1" y2="0">'
    '<stop offset="0" stop-color="#3fb6a8"/><stop offset="0.45" stop-color="#6ee0cf"/>'
    '<stop offset="1" stop-color="#2f9c90"/></linearGradient>'
    '<radialGradient id="screen" cx="0.35" cy="0.3" r="0.8">'
    '<stop offset="0" stop-color="#2d3d63"/><stop offset="1" stop-color="#141c31"/></radialGradient>'
    '<radialGradient id="heart" cx="0.5" cy="0.5" r="0.5">'
    '<stop offset="0" stop-color="#fff1c9"/><stop offset="0.5" stop-color="#ffb14a"/>'
    '<stop offset="1" stop-color="#ff7a3d"/></radialGradient>'
    '<radialGradient id="beam" cx="0.5" cy="0.5" r="0.5">'
    '<stop offset="0" stop-color="#d8fbff" stop-opacity="0.95"/>'
    '<stop offset="1" stop-color="#62f2ff" stop-opacity="0"/></radialGradient>'
    '<linearGradient id="beamcol" x1="0" y1="0" x2="1" y2="0">'
    '<stop offset="0" stop-color="#62f2ff" stop-opacity="0"/>'
    '<stop offset="0.5" stop-color="#e6feff" stop-opacity="0.9"/>'
    '<stop offset="1" stop-color="#62f2ff" stop-opacity="0"/></linearGradient>'
    + BOOK_DEFS
)

# Where the mouth shapes are drawn while speaking, in frame units (on the face screen).
MOUTH = (86, 106 + TOP, 28, 12)

REST = dict(dy=0, sy=1.0, scale=1.0, opacity=1.0, tilt=0,
            lArm=(10, -10), rArm=(10, -10),   # (upper arm, forearm) in degrees; 0 hangs down
            eyes='open', look=(0, 0), brows=0, browTilt=0, mouth='smile', blush=0.0,
            antenna=0, light=0.6, heart=0.7, props=(), beam=0, frontL=False)


def pose(**kw):
    p = dict(REST)
    p.update(kw)
    return p


def legs():
    out = []
    for x in (82, 118):
        out.append('<rect x="%s" y="204" width="12" height="22" rx="4" fill="url(#metal)" %s/>' % (x - 6, STROKE))
        out.append('<path d="M%s,236 Q%s,220 %s,226 Q%s,220 %s,236 Z" fill="%s" %s/>'
                   % (x - 14, x - 12, x, x + 12, x + 14, ACCENT, STROKE))
    return ''.join(out)


def torso(heart):
    out = []
    out.append('<path d="M70,140 Q100,134 130,140 Q140,142 140,154 L136,200 Q134,212 122,212 L78,212 '
               'Q66,212 64,200 L60,154 Q60,142 70,140 Z" fill="url(#body)" %s/>' % STROKE)
    out.append('<rect x="78" y="156" width="44" height="40" rx="9" fill="#e8fbf8" %s/>' % STROKE)
    out.append('<circle cx="100" cy="176" r="%s" fill="url(#heart)" opacity="0.5"/>' % fmt(12 + 6 * heart))
    out.append('<path d="M100,186 C88,178 86,168 93,165 C97,163 100,167 100,169 C100,167 103,163 107,165 '
               'C114,168 112,178 100,186 Z" fill="#ff6b6b" stroke="%s" stroke-width="2"/>' % INK)
    for x, y in ((70, 148), (130, 148), (70, 204), (130, 204)):
        out.append('<circle cx="%s" cy="%s" r="2.2" fill="%s"/>' % (x, y, INK))
    out.append('<rect x="90" y="128" width="20" height="14" rx="3" fill="url(#metal)" %s/>' % STROKE)
    return ''.join(out)


def arm(upper, fore, item=''):
    """The viewer's left arm; the right one is drawn mirrored."""
    up = '<rect x="-5.5" y="-2" width="11" height="26" rx="5.5" fill="url(#metal)" %s/>' % STROKE
    joint = '<circle cx="0" cy="0" r="8" fill="%s" %s/>' % (ACCENT, STROKE)
    fore_tube = '<rect x="-5.5" y="0" width="11" height="24" rx="5.5" fill="url(#metal)" %s/>' % STROKE
    elbow = '<circle cx="0" cy="0" r="6" fill="%s" %s/>' % (ACCENT, STROKE)
    hand = ('<path d="M-9,24 Q-11,36 -4,38 L-3,31 L3,31 L4,38 Q11,36 9,24 Q0,19 -9,24 Z" fill="%s" %s/>'
            % (METAL, STROKE))
    forearm = g([fore_tube, item, hand, elbow], tr(0, 24, fore))
    return g([up, forearm, joint], '')


def head(p, with_mouth):
    lx, ly = p['look']
    out = []
    # antenna, wobbling about its foot
    light = p['light']
    ant = ['<path d="M100,60 L100,36" stroke="%s" stroke-width="3" stroke-linecap="round"/>' % INK]
    if light > 0.5:
        ant.append('<circle cx="100" cy="31" r="%s" fill="url(#beam)"/>' % fmt(8 + 10 * light))
    ant.append('<circle cx="100" cy="31" r="6.5" fill="%s" %s/>'
               % ('#ff5e5e' if light > 0.5 else '#c44848', STROKE))
    ant.append('<circle cx="98" cy="29" r="2" fill="#ffffff" opacity="0.8"/>')
    out.append(g(ant, tr(rot=p['antenna'], ox=100, oy=60)))
    # ears
    for x in (50, 150):
        out.append('<rect x="%s" y="82" width="12" height="26" rx="5" fill="%s" %s/>' % (x - 6, ACCENT, STROKE))
    out.append('<rect x="54" y="58" width="92" height="74" rx="20" fill="url(#metal)" %s/>' % STROKE)
    out.append('<rect x="64" y="68" width="72" height="56" rx="13" fill="url(#screen)" %s/>' % STROKE)
    out.append('<path d="M70,76 Q72,71 80,71" fill="none" stroke="#ffffff" stroke-width="2" '
               'stroke-linecap="round" opacity="0.35"/>')
    if p['blush']:
        for x in (74, 126):
            out.append('<ellipse cx="%s" cy="106" rx="5" ry="3" fill="#ff7fa8" opacity="%s"/>'
                       % (x, fmt(float(p['blush']))))
    out.append(eyes(p['eyes'], lx, ly))
    out.append(brows(p['brows'], p['browTilt']))
    if with_mouth:
        out.append(g(mouth_shape(p['mouth']), tr(MOUTH[0], MOUTH[1] - TOP)))
    return ''.join(out)


def eyes(kind, lx, ly):
    out = []
    led = 'fill="%s"' % LED
    line = 'fill="none" stroke="%s" stroke-width="3.6" stroke-linecap="round"' % LED
    for cx in (84, 116):
        cy = 92
        x, y = cx + lx, cy + ly
        if kind == 'open':
            out.append('<rect x="%s" y="%s" width="10" height="14" rx="4" %s/>' % (fmt(x - 5), fmt(y - 7), led))
            out.append('<rect x="%s" y="%s" width="3" height="4" rx="1.2" fill="#e9fdff"/>'
                       % (fmt(x + 0.5), fmt(y - 5)))
        elif kind == 'wide':
            out.append('<circle cx="%s" cy="%s" r="8.5" fill="none" stroke="%s" stroke-width="2.6"/>'
                       % (fmt(x), fmt(y), LED))
            out.append('<circle cx="%s" cy="%s" r="3.6" %s/>' % (fmt(x), fmt(y), led))
        elif kind == 'half':
            out.append('<rect x="%s" y="%s" width="10" height="6" rx="2.5" %s/>' % (fmt(x - 5), fmt(y), led))
        elif kind == 'closed':
            out.append('<path d="M%s,%s L%s,%s" %s/>' % (fmt(x - 6), fmt(y + 2), fmt(x + 6), fmt(y + 2), line))
        elif kind == 'happy':
            out.append('<path d="M%s,%s L%s,%s L%s,%s" %s stroke-linejoin="round"/>'
                       % (fmt(x - 6), fmt(y + 3), fmt(x), fmt(y - 4), fmt(x + 6), fmt(y + 3), line))
        elif kind == 'sad':
            side = -1 if cx < 100 else 1
            out.append('<path d="M%s,%s L%s,%s L%s,%s L%s,%s Z" %s/>'
                       % (fmt(x - 5), fmt(y - 2 - 2 * side), fmt(x + 5), fmt(y - 2 + 2 * side),
                          fmt(x + 5), fmt(y + 7), fmt(x - 5), fmt(y + 7), led))
    return ''.join(out)


def brows(raise_, tilt):
    if raise_ == 0 and tilt == 0:
        return ''
    out = []
    for cx, side in ((84, -1), (116, 1)):
        y = 80 - raise_
        inner, outer = y - tilt, y + tilt
        xi, xo = cx - 6 * side, cx + 6 * side
        out.append('<path d="M%s,%s L%s,%s" stroke="%s" stroke-width="3" stroke-linecap="round"/>'
                   % (fmt(xo), fmt(outer), fmt(xi), fmt(inner), LED_DIM))
    return ''.join(out)


def mouth_shape(kind):
    """A mouth of light in a 28 x 12 box on the face screen."""
    led = 'fill="%s"' % LED
    line = 'fill="none" stroke="%s" stroke-width="3.2" stroke-linecap="round" stroke-linejoin="round"' % LED
    if kind == 'closed':
        return '<path d="M8,6 L20,6" %s/>' % line
    if kind == 'smile':
        return '<path d="M6,4 Q14,11 22,4" %s/>' % line
    if kind == 'frown':
        return '<path d="M7,9 Q14,3 21,9" %s/>' % line
    if kind == 'small':
        return '<rect x="9" y="3" width="10" height="6" rx="3" %s/>' % led
    if kind == 'open':
        return ('<rect x="7" y="1" width="14" height="10" rx="4" %s/>'
                '<rect x="10" y="6" width="8" height="3" rx="1.5" fill="%s"/>' % (led, SCREEN))
    if kind == 'wide':
        return ('<rect x="2" y="2" width="24" height="8" rx="4" %s/>'
                '<path d="M6,6 L22,6" stroke="%s" stroke-width="1.6"/>' % (led, SCREEN))
    if kind == 'round':
        return ('<circle cx="14" cy="6" r="5.2" fill="none" stroke="%s" stroke-width="3"/>' % LED)
    if kind == 'grin':
        return '<path d="M3,2 L25,2 Q22,11 14,11 Q6,11 3,2 Z" %s/>' % led
    raise ValueError(kind)


def gears(turn):
    """Two little gears turning above his head while he thinks."""
    out = []
    for cx, cy, r, teeth, sign in ((150, 44, 12, 8, 1), (170, 26, 8, 6, -1)):
        pts = []
        import math
        for i in range(teeth * 2):
            rr = r if i % 2 == 0 else r * 0.72
            for k in (-0.5, 0.5):
                a = math.radians(turn * sign + (i + k * 0.9) * 180.0 / teeth)
                pts.append('%s,%s' % (fmt(cx + rr * math.cos(a)), fmt(cy + rr * math.sin(a))))
        out.append('<path d="M%s Z" fill="#ffd166" %s/>' % (' L'.join(pts), STROKE))
        out.append('<circle cx="%s" cy="%s" r="%s" fill="%s" stroke="%s" stroke-width="2"/>'
                   % (cx, cy, fmt(r * 0.3), SCREEN, INK))
    return ''.join(out)


def beam(amount):
    if amount <= 0:
        return ''
    out = ['<rect x="%s" y="0" width="%s" height="244" fill="url(#beamcol)" opacity="%s"/>'
           % (fmt(100 - 60 * amount), fmt(120 * amount), fmt(min(1.0, amount)))]
    out.append('<ellipse cx="100" cy="236" rx="%s" ry="8" fill="url(#beam)"/>' % fmt(70 * amount))
    return ''.join(out)


def extra_prop(name):
    if name.startswith('gears'):
        return gears(int(name[5:]))
    if name.startswith('note'):
        k = int(name[4:])
        y = 60 - 8 * k
        return ('<path d="M%s,%s L%s,%s L%s,%s" fill="none" stroke="%s" stroke-width="3" stroke-linecap="round"/>'
                '<ellipse cx="%s" cy="%s" rx="6" ry="4.5" fill="%s" %s/>'
                % (162, y + 20, 162, y, 172, y + 4, INK, 157, y + 21, LED_DIM, STROKE))
    if name == 'oil':
        return ('<path d="M124,100 C120,108 119,113 123,116 C127,118 130,113 127,107 Z" fill="%s" '
                'stroke="%s" stroke-width="1.4"/>' % ('#8fd3ff', INK))
    return prop(name)


def draw(p, with_mouth=True):
    lu, lf = p['lArm']
    ru, rf = p['rArm']
    left_item = envelope() if 'envelope' in p['props'] else ''
    books = [n for n in p['props'] if n.startswith('book')]
    arms = [g(arm(lu, lf, left_item), tr(68, 150, lu)),
            g(g(arm(ru, rf), tr(68, 150, ru)), 'translate(200 0) scale(-1 1)')]
    body = [legs()]
    if not books:
        body.append(arms[1])
        if not p['frontL']:
            body.append(arms[0])
    body.append(torso(p['heart']))
    body.append(g(head(p, with_mouth), tr(rot=p['tilt'], ox=100, oy=136)))
    if books:
        body.extend(arms)
        body.extend(prop(n) for n in books)
    elif p['frontL']:
        body.append(arms[0])
    figure = g(body, tr(0, p['dy']) + ' ' + tr(sx=p['scale'], sy=p['scale'] * p['sy'], ox=100, oy=236),
               opacity=p['opacity'])
    if p['opacity'] <= 0 or p['scale'] <= 0 or p['sy'] <= 0:
        figure = ''
    front = [extra_prop(n) for n in p['props'] if not n.startswith('book') and n != 'envelope']
    back = [beam(p['beam'])]
    return g(''.join(back) + figure + ''.join(front), tr(0, TOP))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    c = Character(here, 'Robby', W, H, DEFS)
    F = lambda label, **kw: c.frame(label, draw(pose(**kw)))  # noqa: E731

    rest = F('rest')
    blink_half = F('blink-half', eyes='half')
    blink_shut = F('blink-shut', eyes='closed')
    c.animation('RestPose', [(rest, 1000)], ret=None)
    c.animation('Blink', [(blink_half, 50), (blink_shut, 80), (blink_half, 50), (rest, 60)])

    # Show: beamed in; the robot grows out of a column of light.
    c.animation('Show', [
        (F('show-1', sy=0.0, beam=0.3), 60),
        (F('show-2', sy=0.0, beam=0.8), 60),
        (F('show-3', scale=0.55, sy=0.75, opacity=0.45, beam=1.0, eyes='closed'), 70),
        (F('show-4', scale=0.85, sy=1.0, opacity=0.8, beam=1.0, eyes='closed'), 70),
        (F('show-5', sy=1.06, beam=0.6, eyes='happy', light=1.0, antenna=-10), 90),
        (F('show-6', sy=0.97, beam=0.25, eyes='happy', light=1.0, antenna=8), 90),
        (rest, 100),
    ])
    c.animation('Hide', [
        (F('hide-1', eyes='happy', lArm=(150, -10), light=1.0), 120),
        (F('hide-2', eyes='closed', sy=0.94, beam=0.5, light=1.0), 80),
        (F('hide-3', scale=0.85, sy=0.8, opacity=0.8, beam=1.0, eyes='closed'), 70),
        (F('hide-4', scale=0.55, sy=0.75, opacity=0.45, beam=1.0, eyes='closed'), 70),
        (F('hide-5', sy=0.0, beam=0.7), 60),
        (F('hide-6', sy=0.0, beam=0.25), 60),
        (F('hide-7', sy=0.0, beam=0.0), 50),
    ], ret=None)

    look_l = F('look-left', look=(-4, 0))
    look_r = F('look-right', look=(4, 0))
    c.animation('Idle1', [
        (look_l, 700), (rest, 200), (look_r, 700), (blink_half, 50), (blink_shut, 80), (blink_half, 50),
        (rest, 400)])
    # Idle2: hums a tune with his antenna swaying.
    h1 = F('hum-1', eyes='happy', mouth='closed', antenna=-12, tilt=-3, props=('note0',))
    h2 = F('hum-2', eyes='happy', mouth='closed', antenna=12, tilt=3, light=1.0, props=('note1',))
    h3 = F('hum-3', eyes='happy', mouth='closed', antenna=-12, tilt=-3, props=('note2',))
    c.animation('Idle2', [(h1, 300), (h2, 300), (h3, 300), (h2, 300), (h1, 300), (rest, 200)])

    c.animation('Greet', [
        (F('greet-1', tilt=-4, eyes='happy', mouth='grin', lArm=(40, -60)), 120),
        (F('greet-2', tilt=-10, dy=3, eyes='happy', mouth='grin', lArm=(30, -100), rArm=(20, 20),
           light=1.0, antenna=-15, blush=0.6), 380),
        (F('greet-1', tilt=-4, eyes='happy', mouth='grin', lArm=(40, -60)), 120), (rest, 100)])

    w1 = F('wave-1', rArm=(140, -25), mouth='grin', eyes='happy', antenna=6)
    w2 = F('wave-2', rArm=(150, 15), mouth='grin', eyes='happy', tilt=-2, antenna=-6, light=1.0)
    c.animation('Wave', [
        (F('wave-0', rArm=(80, -40), mouth='smile'), 90), (w1, 140), (w2, 140), (w1, 140), (w2, 140),
        (w1, 140), (F('wave-0', rArm=(80, -40), mouth='smile'), 90), (rest, 100)])

    a1 = F('announce-1', lArm=(110, -70), props=('envelope',), mouth='open', eyes='wide', light=1.0,
           antenna=-8, heart=1.0)
    a2 = F('announce-2', lArm=(125, -60), props=('envelope',), mouth='grin', eyes='happy', dy=-4,
           light=0.2, antenna=8, heart=1.0)
    c.animation('Announce', [
        (F('announce-0', lArm=(60, -60), look=(-3, -2)), 120), (a1, 200), (a2, 200), (a1, 200), (a2, 300),
        (F('announce-0', lArm=(60, -60), look=(-3, -2)), 120), (rest, 100)])

    g1 = F('attention-1', lArm=(150, -10), rArm=(150, -10), eyes='wide', brows=4, mouth='open', dy=-10,
           props=('exclaim',), light=1.0, antenna=-12)
    g2 = F('attention-2', lArm=(135, 20), rArm=(135, 20), eyes='wide', brows=4, mouth='wide',
           props=('exclaim',), light=0.2, antenna=12)
    c.animation('GetAttention', [
        (F('attention-0', dy=3, sy=0.95, lArm=(50, 0), rArm=(50, 0)), 90), (g1, 150), (g2, 150), (g1, 150),
        (g2, 150), (F('attention-0', dy=3, sy=0.95, lArm=(50, 0), rArm=(50, 0)), 90), (rest, 100)])

    e1 = F('explain-1', rArm=(60, -70), brows=2, mouth='open')
    e2 = F('explain-2', rArm=(70, -45), brows=1, mouth='smile', tilt=-2)
    c.animation('Explain', [(e1, 300), (e2, 300), (e1, 300), (e2, 300), (rest, 100)])

    book = dict(lArm=(-5, -100), rArm=(-5, -100), mouth='closed')
    r0 = F('read-0', look=(0, 4), props=('book',), **book)
    r1 = F('read-1', look=(-3, 4), props=('book',), **book)
    c.animation('Read', [
        (r0, 400), (r1, 500), (F('read-2', look=(2, 4), props=('book1',), **book), 140),
        (F('read-3', look=(2, 4), props=('book-1',), **book), 140), (r0, 400), (r1, 500), (rest, 100)])

    think = dict(lArm=(-30, -125), frontL=True, look=(3, -3), brows=3, browTilt=1, mouth='closed', tilt=3)
    c.animation('Think', [
        (F('think-1', props=('gears0',), **think), 250), (F('think-2', props=('gears15',), **think), 250),
        (F('think-3', props=('gears30',), **think), 250), (F('think-4', props=('gears45',), **think), 250),
        (F('think-1', props=('gears0',), **think), 250), (F('think-5', props=('gears30', 'exclaim'), **think), 500),
        (rest, 100)])

    c.animation('Surprised', [
        (F('surprised-1', eyes='wide', brows=5, mouth='round', dy=-9, lArm=(60, 0), rArm=(60, 0),
           antenna=-14, light=1.0), 120),
        (F('surprised-2', eyes='wide', brows=6, mouth='round', dy=-2, lArm=(45, 0), rArm=(45, 0),
           props=('exclaim',), antenna=10, light=1.0), 500),
        (F('surprised-3', eyes='open', brows=3, mouth='small'), 200), (rest, 100)])

    c1 = F('congrats-1', lArm=(150, -10), rArm=(150, -10), eyes='happy', mouth='grin', dy=-10, light=1.0,
           antenna=-10, heart=1.0, props=('stars0', 'confetti0'))
    c2 = F('congrats-2', lArm=(140, 10), rArm=(140, 10), eyes='happy', mouth='grin', light=0.2, antenna=10,
           heart=1.0, props=('stars1', 'confetti1'))
    c.animation('Congratulate', [
        (F('attention-0', dy=3, sy=0.95, lArm=(50, 0), rArm=(50, 0)), 80), (c1, 160), (c2, 160), (c1, 160),
        (c2, 160), (F('congrats-3', eyes='happy', mouth='smile', props=('stars0',)), 200), (rest, 100)])

    p1 = F('pleased-1', eyes='happy', mouth='grin', blush=0.8, tilt=3, heart=1.0)
    p2 = F('pleased-2', eyes='happy', mouth='grin', blush=0.8, tilt=-2, dy=-2, heart=1.0, light=1.0)
    c.animation('Pleased', [(p1, 250), (p2, 250), (p1, 250), (p2, 250), (rest, 100)])

    s1 = F('sad-1', eyes='sad', mouth='frown', tilt=-5, dy=2, antenna=25, light=0.1, heart=0.2,
           lArm=(3, -3), rArm=(3, -3))
    s2 = F('sad-2', eyes='sad', mouth='frown', tilt=-6, dy=3, antenna=30, light=0.1, heart=0.2,
           lArm=(3, -3), rArm=(3, -3), props=('oil',))
    c.animation('Sad', [(s1, 400), (s2, 900), (s1, 300), (rest, 100)])

    base = c.frame('speak-base', draw(pose(), with_mouth=False))
    shapes = {}
    for kind in ('closed', 'small', 'open', 'wide', 'round'):
        shapes[kind] = c.frame('mouth-' + kind, mouth_shape(kind), width=MOUTH[2], height=MOUTH[3])
    c.write('Beep boop, hello~~Hi there, human~~Hello, friend^^A friendly robot who reads your mail',
            {'espeak': 'en-us+m7', 'pitch': 60, 'speed': 165},
            {'base': base, 'mouth': dict(zip(('x', 'y', 'width', 'height'), MOUTH)), 'shapes': shapes})


if __name__ == '__main__':
    main()
