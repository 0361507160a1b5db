#!/usr/bin/env python3
"""Line and branch coverage of src/, host/ and sim/ per folder, from clang's source-based
coverage: merges the raw profiles a coverage run left and asks llvm-cov for every
instrumented program and library of the build.

Usage: tools/coverage/report.py BUILD_DIR PROFILE_DIR [--files REGEX]
With --files, each file whose path matches REGEX gets a row of its own as well."""
import json, os, re, subprocess, sys
from collections import defaultdict

LLVM_VERSIONS = ('-14', '-15', '-16', '')


def tool(name):
    for suffix in LLVM_VERSIONS:
        path = subprocess.run(['sh', '-c', f'command -v {name}{suffix}'], capture_output=True,
                              text=True).stdout.strip()
        if path:
            return path
    sys.exit(f'coverage: {name} is missing (Debian package llvm)')


def instrumented(build):
    # Programs and the plugin library; objects with no coverage mapping are not listed.
    names = []
    for root, _, files in os.walk(build):
        if '/CMakeFiles' in root or '/profiles' in root:
            continue
        for f in files:
            path = os.path.join(root, f)
            if (f.endswith('.so') or (os.access(path, os.X_OK) and '.' not in f)) and \
                    os.path.isfile(path):
                names.append(path)
    return sorted(names)


def main():
    build, profiles = sys.argv[1], sys.argv[2]
    files = re.compile(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[3] == '--files' else None
    source = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
    raw = [os.path.join(profiles, f) for f in os.listdir(profiles) if f.endswith('.profraw')]
    if not raw:
        sys.exit('coverage: no profiles were written')
    merged = os.path.join(profiles, 'kiv.profdata')
    subprocess.run([tool('llvm-profdata'), 'merge', '-sparse', '-o', merged] + raw, check=True)
    objects = instrumented(build)
    args = [tool('llvm-cov'), 'export', '-summary-only', '-instr-profile', merged, objects[0]]
    for o in objects[1:]:
        args += ['-object', o]
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    rows = defaultdict(lambda: [0, 0, 0, 0])
    for f in json.loads(out)['data'][0]['files']:
        rel = os.path.relpath(f['filename'], source)
        if not rel.startswith(('src/', 'host/', 'sim/')):
            continue
        s = f['summary']
        counts = [s['lines']['covered'], s['lines']['count'],
                  s['branches']['covered'], s['branches']['count']]
        folder = os.path.dirname(rel)
        keys = {folder, rel.split('/')[0] + '/ (all)'}
        if files and files.search(rel):
            keys.add(rel)
        for key in keys:
            for i, n in enumerate(counts):
                rows[key][i] += n

    def pct(a, b):
        return f'{100 * a / b:6.1f}%' if b else '     - '

    print(f'{"folder":40} {"lines":>16} {"":>7}  {"branches":>15} {"":>7}')
    for key in sorted(rows):
        lc, lt, bc, bt = rows[key]
        print(f'{key:40} {lc:7}/{lt:<8} {pct(lc, lt)}  {bc:6}/{bt:<8} {pct(bc, bt)}')


main()
