#!/usr/bin/env python3
"""Draws the two 32x32, 16-colour tray icons as XPM: a grey floppy disk seen from its label side
(logged in) and from its hub side (logged out); the same two as PNG for the icon theme; and the
application icon, the label side as SVG. Run from this folder to regenerate them."""

import struct
import zlib

PALETTE = {
    ' ': 'None',     # transparent
    'k': '#202020',  # outline
    'g': '#8C8C8C',  # plastic
    'l': '#B0B0B0',  # plastic, lit edge
    'd': '#646464',  # plastic, shaded edge
    'm': '#D0D0D8',  # metal shutter
    'n': '#808088',  # metal, shaded
    's': '#3C3C44',  # shutter window
    'w': '#F8F8F8',  # label
    'b': '#5068A8',  # label lines
    'h': '#B8B8C0',  # hub
    'c': '#404048',  # hub ring and spindle hole
}


def blank():
    return [[' '] * 32 for _ in range(32)]


def rect(img, x0, y0, x1, y1, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = c


def frame(img, x0, y0, x1, y1, c):
    for x in range(x0, x1 + 1):
        img[y0][x] = img[y1][x] = c
    for y in range(y0, y1 + 1):
        img[y][x0] = img[y][x1] = c


def body(img, chamfer_right):
    rect(img, 2, 2, 29, 29, 'g')
    # lit top and left, shaded bottom and right
    rect(img, 3, 3, 28, 3, 'l')
    rect(img, 3, 3, 3, 28, 'l')
    rect(img, 3, 28, 28, 28, 'd')
    rect(img, 28, 3, 28, 28, 'd')
    frame(img, 2, 2, 29, 29, 'k')
    # the cut corner: top right seen from the label, top left seen from the hub
    for i in range(4):
        for j in range(4 - i):
            x = 29 - j if chamfer_right else 2 + j
            img[2 + i][x] = ' '
        img[2 + i][29 - (4 - i) if chamfer_right else 2 + (4 - i)] = 'k'


def shutter(img):
    rect(img, 9, 2, 22, 12, 'm')
    frame(img, 9, 2, 22, 12, 'n')
    rect(img, 16, 4, 19, 10, 's')  # the slot the head reads through
    rect(img, 9, 2, 22, 2, 'k')


def label_side():
    img = blank()
    body(img, chamfer_right=True)
    shutter(img)
    rect(img, 6, 15, 25, 28, 'w')
    frame(img, 6, 15, 25, 28, 'd')
    for y in (18, 21, 24):
        rect(img, 8, y, 23, y, 'b')
    img[27][4] = img[27][27] = 'k'  # write-protect and density holes
    return img


def hub_side():
    img = blank()
    body(img, chamfer_right=False)
    shutter(img)
    # the metal hub with its ring and the square spindle hole
    cx, cy, r = 15.5, 19.5, 6.2
    for y in range(32):
        for x in range(32):
            d = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5
            if d <= r - 1:
                img[y][x] = 'h'
            elif d <= r:
                img[y][x] = 'c'
    rect(img, 14, 18, 17, 21, 'c')
    rect(img, 19, 22, 20, 23, 'c')  # the drive pin hole
    rect(img, 4, 25, 6, 27, 'k')    # write-protect window
    rect(img, 25, 25, 27, 27, 'k')  # density window
    return img


def write_xpm(name, img):
    used = sorted({c for row in img for c in row})
    lines = [f'"32 32 {len(used)} 1",']
    lines += [f'"{c} c {PALETTE[c]}",' for c in used]
    lines += ['"' + ''.join(row) + '",' for row in img]
    lines[-1] = lines[-1].rstrip(',')
    with open(name, 'w') as f:
        f.write('/* XPM */\nstatic const char* ' + name.split('.')[0] + '[] = {\n')
        f.write('\n'.join(lines) + '\n};\n')


def write_png(name, img):
    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body))

    raw = b''
    for row in img:
        raw += b'\0'  # no filter
        for c in row:
            colour = PALETTE[c]
            raw += bytes(4) if colour == 'None' else bytes.fromhex(colour[1:]) + b'\xff'
    with open(name, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', 32, 32, 8, 6, 0, 0, 0)))
        f.write(chunk(b'IDAT', zlib.compress(raw, 9)))
        f.write(chunk(b'IEND', b''))


# The label side again, drawn with shapes so that it stays sharp at any size; the same colours.
SVG = '''<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <path d="M5 5 H51 L59 13 V59 H5 Z" fill="#8C8C8C" stroke="#202020" stroke-width="2"
        stroke-linejoin="round"/>
  <path d="M7 57 V7 H50" fill="none" stroke="#B0B0B0" stroke-width="2"/>
  <path d="M7 57 H57 V14" fill="none" stroke="#646464" stroke-width="2"/>
  <rect x="18" y="5" width="27" height="20" fill="#D0D0D8" stroke="#808088" stroke-width="1.5"/>
  <rect x="32" y="9" width="7" height="12" fill="#3C3C44"/>
  <rect x="12" y="30" width="40" height="27" rx="1.5" fill="#F8F8F8" stroke="#646464"/>
  <path d="M16 37 H48 M16 43 H48 M16 49 H48" stroke="#5068A8" stroke-width="2"/>
  <rect x="8" y="53" width="2" height="2" fill="#202020"/>
  <rect x="54" y="53" width="2" height="2" fill="#202020"/>
</svg>
'''

write_xpm('loggedin.xpm', label_side())
write_xpm('loggedout.xpm', hub_side())
write_png('sirano-32.png', label_side())
write_png('sirano-logged-out-32.png', hub_side())
with open('sirano.svg', 'w') as f:
    f.write(SVG)
