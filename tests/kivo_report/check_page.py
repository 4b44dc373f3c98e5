#!/usr/bin/python3
# Reads an HTML page with html5lib (Debian's python3-html5lib), never with kivo's code,
# and prints what the tests check as JSON:
#   check_page.py strict FILE   {"errors": [...]}: the strict parser's complaints
#   check_page.py inspect FILE  the page's title, elements, attributes, links, styles, the
#                               rows of its tables (the texts of their cells) and its bars
#                               (each with the text of the list item that holds it)
#   check_page.py png FILE      width, height, the number of distinct pixels and the
#                               mean brightness (0-255) of a PNG (8-bit RGB or RGBA, as
#                               Chromium writes them)
import json
import struct
import sys
import zlib


def strict(path):
    import html5lib
    parser = html5lib.HTMLParser(strict=False)
    parser.parse(open(path, 'rb').read())
    errors = [str(e) for e in parser.errors]
    try:
        html5lib.HTMLParser(strict=True).parse(open(path, 'rb').read())
    except Exception as e:  # the strict parser raises on the first error
        errors.append('strict: %r' % (e,))
    return {'errors': errors}


def text_of(node):
    return ''.join(node.itertext()).strip()


def inspect(path):
    import html5lib
    ns = '{http://www.w3.org/1999/xhtml}'
    doc = html5lib.parse(open(path, 'rb').read(), namespaceHTMLElements=True)
    elements, attributes, hrefs, styles = set(), set(), [], []
    for node in doc.iter():
        if not isinstance(node.tag, str):
            continue
        elements.add(node.tag.replace(ns, ''))
        for name, value in node.attrib.items():
            attributes.add(name if isinstance(name, str) else name[1])
            if name == 'href':
                hrefs.append(value)
            if name == 'style':
                styles.append(value)
    bars = []
    for item in doc.iter(ns + 'li'):
        for child in item:
            if 'bar' in child.attrib.get('class', '').split():
                bars.append({'text': text_of(item), 'role': child.attrib.get('role'),
                             'label': child.attrib.get('aria-label'),
                             'now': child.attrib.get('aria-valuenow'),
                             'hidden': child.attrib.get('aria-hidden')})
    title = doc.find('.//%stitle' % ns)
    tables = []
    for table in doc.iter(ns + 'table'):
        rows = []
        body = table.find(ns + 'tbody')
        for row in (body if body is not None else []):
            rows.append([text_of(cell) for cell in row])
        tables.append(rows)
    return {
        'title': text_of(title) if title is not None else None,
        'elements': sorted(elements),
        'attributes': sorted(attributes),
        'hrefs': hrefs,
        'styles': styles,
        'tables': tables,
        'bars': bars,
    }


def png(path):
    data = open(path, 'rb').read()
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        return {'error': 'not a PNG'}
    pos, idat, width, height, depth, colour = 8, b'', 0, 0, 0, 0
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            width, height, depth, colour = struct.unpack('>IIBB', body[:10])
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    channels = {2: 3, 6: 4}.get(colour)
    if depth != 8 or channels is None:
        return {'error': 'depth %d colour type %d not read here' % (depth, colour)}
    raw = zlib.decompress(idat)
    stride = width * channels
    previous = bytearray(stride)
    colours = set()
    brightness, samples = 0, 0
    pos = 0
    for _ in range(height):
        kind, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = previous[i]
            c = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        for x in range(0, stride, channels * 4):  # every fourth pixel is plenty
            colours.add(bytes(line[x:x + 3]))
            brightness += line[x] + line[x + 1] + line[x + 2]
            samples += 3
        previous = line
    return {'width': width, 'height': height, 'colours': len(colours),
            'brightness': brightness // max(samples, 1)}


if __name__ == '__main__':
    mode, path = sys.argv[1], sys.argv[2]
    print(json.dumps({'strict': strict, 'inspect': inspect, 'png': png}[mode](path), ensure_ascii=True))
