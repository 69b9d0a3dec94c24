"""Props and effects shared by the characters: letters, books, marks, sparkles, confetti."""
from charkit import g, tr, fmt, star_path, sparkle_path

INK = '#2b2340'
GOLD = '#ffcf4a'
GOLD_DARK = '#e0a21c'
STROKE = 'stroke="%s" stroke-width="2.6" stroke-linejoin="round" stroke-linecap="round"' % INK
# The book's cover gradient, to be placed in a character's <defs>.
BOOK_DEFS = ('<linearGradient id="book" x1="0" y1="0" x2="0" y2="1">'
             '<stop offset="0" stop-color="#c0392b"/><stop offset="1" stop-color="#8e2a20"/></linearGradient>')


def envelope():
    # held up in the hand, facing the viewer
    return g([
        '<rect x="-16" y="-12" width="32" height="22" rx="2.5" fill="#ffffff" %s/>' % STROKE,
        '<path d="M-15,-10 L0,2 L15,-10" fill="none" %s/>' % STROKE,
        '<circle cx="0" cy="2" r="3.6" fill="#e74c3c" stroke="%s" stroke-width="1.4"/>' % INK,
    ], tr(0, 22, 180))


def sparkles(amount, seed=0):
    if amount <= 0:
        return ''
    spots = ((34, 60, 9), (166, 52, 8), (24, 140, 7), (176, 128, 10), (46, 210, 6), (158, 200, 7),
             (70, 24, 6), (150, 96, 5))
    out = []
    for i, (x, y, r) in enumerate(spots):
        k = ((i + seed) % 3 + 1) / 3.0
        out.append('<path d="%s" fill="%s" stroke="%s" stroke-width="1.2"/>'
                   % (sparkle_path(x, y, r * amount * (0.6 + 0.4 * k)), GOLD, GOLD_DARK))
    return ''.join(out)


def prop(name):
    if name == 'exclaim':
        return ('<path d="M160,30 L172,30 L169,66 L163,66 Z" fill="#ff6b4a" %s/>'
                '<circle cx="166" cy="76" r="5" fill="#ff6b4a" %s/>' % (STROKE, STROKE))
    if name == 'question':
        return ('<path d="M150,44 C150,28 176,26 176,42 C176,52 164,52 164,62 L164,66" fill="none" '
                'stroke="%s" stroke-width="9" stroke-linecap="round"/>'
                '<path d="M150,44 C150,28 176,26 176,42 C176,52 164,52 164,62 L164,66" fill="none" '
                'stroke="#8fd3ff" stroke-width="5" stroke-linecap="round"/>'
                '<circle cx="164" cy="78" r="4.6" fill="#8fd3ff" %s/>' % (INK, STROKE))
    if name.startswith('dots'):
        n = int(name[4:])
        out = ''
        for i, (x, y, r) in enumerate(((146, 70, 4), (156, 56, 6), (170, 38, 9))):
            if i < n:
                out += '<circle cx="%s" cy="%s" r="%s" fill="#ffffff" %s/>' % (x, y, r, STROKE)
        return out
    if name == 'tear':
        return ('<path d="M119,108 C116,114 115,118 118,120 C121,122 124,118 122,114 Z" fill="#8fd3ff" '
                'stroke="%s" stroke-width="1.4"/>' % INK)
    if name.startswith('confetti'):
        k = int(name[8:])
        colours = ('#ff6b6b', '#ffd93d', '#6bcB77', '#4d96ff', '#c77dff')
        out = ''
        for i in range(14):
            x = 20 + (i * 53 + k * 17) % 160
            y = 10 + (i * 37 + k * 29) % 120
            a = (i * 47 + k * 60) % 180
            out += ('<rect x="%s" y="%s" width="6" height="10" rx="1.5" fill="%s" transform="rotate(%s %s %s)"/>'
                    % (x - 3, y - 5, colours[i % 5], a, x, y))
        return out
    if name.startswith('stars'):
        k = int(name[5:])
        out = ''
        for i, (x, y, r) in enumerate(((30, 40, 10), (170, 30, 12), (20, 110, 7), (182, 100, 8))):
            rr = r * (0.7 + 0.3 * ((i + k) % 2))
            out += '<path d="%s" fill="%s" %s/>' % (star_path(x, y, rr, rr * 0.45), GOLD, STROKE)
        return out
    if name.startswith('book'):
        # an open book held in both hands, page curl for turning
        turn = int(name[4:] or 0)
        out = ('<path d="M62,150 L100,156 L138,150 L138,180 L100,186 L62,180 Z" fill="url(#book)" %s/>'
               '<path d="M66,148 Q84,144 100,152 L100,180 Q84,174 66,176 Z" fill="#fffaf0" %s/>'
               '<path d="M134,148 Q116,144 100,152 L100,180 Q116,174 134,176 Z" fill="#fffaf0" %s/>'
               % (STROKE, STROKE, STROKE))
        for i in range(4):
            y = 156 + i * 5
            out += ('<path d="M72,%s L94,%s M106,%s L128,%s" stroke="#b8b0c8" stroke-width="1.6" '
                    'stroke-linecap="round"/>' % (y - 1, y + 1, y + 1, y - 1))
        if turn:
            out += ('<path d="M100,152 Q%s,%s %s,%s L%s,%s Q%s,%s 100,180 Z" fill="#ffffff" %s/>'
                    % (100 + 10 * turn, 140, 100 + 22 * turn, 146, 100 + 22 * turn, 172,
                       100 + 10 * turn, 168, STROKE))
        return out
    raise ValueError(name)
