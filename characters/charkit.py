"""Small helpers shared by the characters' frame generators.

A generator describes poses as parameters, draws each pose as an SVG frame from
parts, and lists the animations as sequences of poses. Identical poses share one
file. Only features that Qt's SVG renderer (SVG Tiny 1.2) draws are used:
paths, basic shapes, groups with transforms, opacity and gradients.
"""
import hashlib
import json
import math
import os


def fmt(v):
    if isinstance(v, float):
        s = ('%.2f' % v).rstrip('0').rstrip('.')
        return '0' if s == '-0' else s
    return str(v)


def tr(x=0, y=0, rot=0, sx=1, sy=None, ox=0, oy=0):
    """translate(x,y) rotate(rot about ox,oy) scale(sx,sy about ox,oy)."""
    parts = []
    if x or y:
        parts.append('translate(%s %s)' % (fmt(x), fmt(y)))
    if rot:
        parts.append('rotate(%s %s %s)' % (fmt(rot), fmt(ox), fmt(oy)))
    if sy is None:
        sy = sx
    if sx != 1 or sy != 1:
        parts.append('translate(%s %s) scale(%s %s) translate(%s %s)'
                     % (fmt(ox), fmt(oy), fmt(sx), fmt(sy), fmt(-ox), fmt(-oy)))
    return ' '.join(parts)


def g(content, transform='', opacity=None, extra=''):
    attrs = ''
    if transform:
        attrs += ' transform="%s"' % transform
    if opacity is not None and opacity < 1:
        attrs += ' opacity="%s"' % fmt(float(opacity))
    if extra:
        attrs += ' ' + extra
    return '<g%s>%s</g>' % (attrs, ''.join(content) if isinstance(content, (list, tuple)) else content)


def star_path(cx, cy, r_out, r_in, points=5, rot=-90):
    pts = []
    for i in range(points * 2):
        r = r_out if i % 2 == 0 else r_in
        a = math.radians(rot + i * 180.0 / points)
        pts.append('%s,%s' % (fmt(cx + r * math.cos(a)), fmt(cy + r * math.sin(a))))
    return 'M' + ' L'.join(pts) + ' Z'


def sparkle_path(cx, cy, r):
    """A four-pointed twinkle."""
    k = r * 0.22
    return ('M{0},{1} Q{2},{3} {4},{5} Q{2},{6} {0},{7} Q{8},{6} {9},{5} Q{8},{3} {0},{1} Z'
            .format(fmt(cx), fmt(cy - r), fmt(cx + k), fmt(cy - k), fmt(cx + r), fmt(cy),
                    fmt(cy + k), fmt(cy + r), fmt(cx - k), fmt(cx - r)))


class Character:
    def __init__(self, folder, name, width, height, defs):
        self.folder = folder
        self.name = name
        self.width = width
        self.height = height
        self.defs = defs
        self.files = {}          # content hash -> file name
        self.animations = {}
        self.speaking = None
        os.makedirs(os.path.join(folder, 'frames'), exist_ok=True)
        for old in os.listdir(os.path.join(folder, 'frames')):
            if old.endswith('.svg'):
                os.remove(os.path.join(folder, 'frames', old))

    def document(self, body, width=None, height=None, view=None):
        width = width or self.width
        height = height or self.height
        view = view or '0 0 %s %s' % (fmt(width), fmt(height))
        return ('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<svg xmlns="http://www.w3.org/2000/svg" version="1.2" baseProfile="tiny" '
                'width="%s" height="%s" viewBox="%s">\n<defs>%s</defs>\n%s\n</svg>\n'
                % (fmt(width), fmt(height), view, self.defs, body))

    def frame(self, label, body, **kw):
        """Writes the frame (once per distinct content) and returns its path in the package."""
        text = self.document(body, **kw)
        key = hashlib.sha1(text.encode()).hexdigest()
        if key not in self.files:
            name = label
            taken = set(self.files.values())
            n = 2
            while 'frames/%s.svg' % name in taken:
                name = '%s-%d' % (label, n)
                n += 1
            path = 'frames/%s.svg' % name
            with open(os.path.join(self.folder, path), 'w') as f:
                f.write(text)
            self.files[key] = path
        return self.files[key]

    def animation(self, name, frames, loop=False, ret='RestPose'):
        entry = {'frames': [{'image': img, 'duration': int(ms)} for img, ms in frames]}
        if loop:
            entry['loop'] = True
        if ret and name != ret:
            entry['return'] = ret
        self.animations[name] = entry

    def write(self, extra_data, voice, speaking):
        doc = {
            'format': 1,
            'name': self.name,
            'width': self.width,
            'height': self.height,
            'extraData': extra_data,
            'voice': voice,
            'animations': dict(sorted(self.animations.items())),
            'speaking': speaking,
        }
        with open(os.path.join(self.folder, 'character.json'), 'w') as f:
            json.dump(doc, f, indent=1)
            f.write('\n')
