#!/usr/bin/env python3
"""Fails on an #include that runs against the layering of src/: each layer folder may include
only itself and the layers it is built on (the same table the CMake targets link by).

Usage: .ci/check_layers.py [SOURCE_ROOT]"""
import os, re, sys

# layer -> the layers it may include (besides itself). The C ABI header is open to all.
ALLOWED = {
    'diag': [],
    'binding/value': ['diag'],
    'binding/types': ['diag', 'binding/value'],
    'binding/codec': ['diag', 'binding/value', 'binding/types'],
    'binding/router': ['diag', 'binding/value', 'binding/types', 'binding/codec'],
    'plugin': ['diag', 'binding/value', 'binding/types', 'binding/codec', 'binding/router'],
    'lcds/amf': ['diag', 'binding/value', 'binding/types'],
    'lcds/net': ['diag'],
    'lcds/rtmp': ['diag', 'lcds/amf', 'lcds/net'],
    'lcds': ['diag', 'binding/value', 'binding/types', 'binding/codec', 'lcds/amf', 'lcds/net',
             'lcds/rtmp'],
    'loginqueue': ['diag', 'binding/value', 'binding/types', 'binding/codec', 'binding/router',
                   'plugin', 'lcds'],
}
ALLOWED['login'] = sorted(set(ALLOWED) - {'login'})
ALLOWED['entry'] = sorted(set(ALLOWED) - {'entry'})
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    """The deepest layer whose folder holds `path` (relative to src/), or None."""
    best = None
    for layer in ALLOWED:
        if path.startswith(layer + '/') and (best is None or len(layer) > len(best)):
            best = layer
    return best


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..')
    src = os.path.join(root, 'src')
    bad = []
    for folder, _, files in os.walk(src):
        for name in files:
            if not name.endswith(('.h', '.cc')):
                continue
            path = os.path.relpath(os.path.join(folder, name), src)
            layer = layer_of(path)
            if layer is None:
                bad.append(f'src/{path}: not in any layer folder')
                continue
            with open(os.path.join(folder, name), encoding='utf-8') as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m or m.group(1).startswith('kiv/'):
                        continue
                    target = layer_of(m.group(1))
                    if target is None:
                        continue  # a generated or a local header
                    if target != layer and target not in ALLOWED[layer]:
                        bad.append(f'src/{path}:{number}: {layer} includes "{m.group(1)}" '
                                   f'({target})')
    for line in bad:
        print(line)
    print(f'layers: {len(bad)} include(s) against the layering' if bad else
          'layers: every include runs downward')
    return 1 if bad else 0


sys.exit(main())
