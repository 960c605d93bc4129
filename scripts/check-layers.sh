#!/usr/bin/env bash
# Holds the project's layering over the #include lines of every
# source file (build folders aside), in well under a second:
#   - a layer includes only itself and the layers below it:
#       platform < framework < framework/controls < comport, sockets < app < headless < gui
#     (comport and sockets know nothing of each other); the three platform libraries
#     (platform/serial, platform/sockets, platform/registry) use only platform/ itself;
#     app/tls belongs to app and headless/metrics to headless;
#   - tests/<layer> include what their layer may, and the test helpers of the same
#     layers; tests/support stays as low as framework/controls;
#   - Qt only in gui/, tests/gui/ and bench/ (whose window benchmark runs it as the
#     window tests do); OpenSSL only in app/tls/ and the HTTP server only in
#     headless/metrics/, the private modules that are opened when a run needs them;
#   - headless/ never reaches the window's form (app/unPortvale.h), also not through
#     another header;
#   - project headers are included by their layer path ("comport/ComPort.h").
# Prints each violation as FILE:LINE and fails; the allowed exceptions below are
# printed too, but pass.
set -euo pipefail
cd "$(dirname "$0")/.."

exec python3 - <<'PY'
import os, re, sys

# Exceptions, each "file -> included header" with its reason; an entry that no
# longer matches an include fails the check too, so the list only shrinks.
ALLOWED = set()

PLATFORM = {"platform", "platform/serial", "platform/sockets", "platform/registry"}
FRAMEWORK = PLATFORM | {"framework", "framework/controls"}
BELOW_APP = FRAMEWORK | {"comport", "sockets"}
MAY_USE = {
    "platform": {"platform"},
    "platform/serial": {"platform", "platform/serial"},
    "platform/sockets": {"platform", "platform/sockets"},
    "platform/registry": {"platform", "platform/registry"},
    "framework": PLATFORM | {"framework"},
    "framework/controls": FRAMEWORK,
    "comport": FRAMEWORK | {"comport"},
    "sockets": FRAMEWORK | {"sockets"},
    "app": BELOW_APP | {"app"},
    "headless": BELOW_APP | {"app", "headless"},
    "gui": BELOW_APP | {"app", "headless", "gui"},
}
MAY_USE["bench"] = MAY_USE["gui"]
# Folders that belong to the layer above them.
FOLDED = {"app/tls": "app", "headless/metrics": "headless"}
# Test folders that test a layer of another name.
TEST_LAYER = {"tests/fuzz": "app", "tests/packaging": "gui", "tests/support": "framework/controls"}

QT = re.compile(r"<(Q[A-Za-z]|Qt[A-Z]|qt)")
PRIVATE_LIBRARIES = [
    (re.compile(r"<openssl/"), "app/tls/", "OpenSSL"),
    (re.compile(r"<httplib\.h>"), "headless/metrics/", "the HTTP server"),
]
QT_FOLDERS = ("gui/", "tests/gui/", "bench/")
FORM = "app/unPortvale.h"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(folder):
    """The layer a source folder belongs to, or None when the table has none."""
    folder = FOLDED.get(folder, folder)
    return folder if folder in MAY_USE else None


def test_layer_of(folder):
    if folder in TEST_LAYER:
        return TEST_LAYER[folder]
    return layer_of(folder[len("tests/"):])


def sources():
    for top, dirs, files in os.walk("."):
        # Build folders (anything CMake configured) and hidden ones are not sources.
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and
                         not os.path.exists(os.path.join(top, d, "CMakeCache.txt")))
        for name in sorted(files):
            if name.endswith((".cpp", ".h")):
                yield os.path.normpath(os.path.join(top, name))


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if m:
                yield number, m.group(1), m.group(2)


files = list(sources())
quoted = {f: [(n, inc) for n, kind, inc in includes(f) if kind == '"'] for f in files}
problems = []
used = set()


def report(path, number, include, why):
    if (path, include) in ALLOWED:
        used.add((path, include))
    else:
        problems.append(f"{path}:{number}: {why}")


def reaches_form(header, seen):
    """The chain of project headers from `header` to the form, or None."""
    if header == FORM:
        return [header]
    if header in seen or header not in quoted:
        return None
    seen.add(header)
    for _, inc in quoted[header]:
        chain = reaches_form(inc, seen)
        if chain:
            return [header] + chain
    return None


for path in files:
    folder = os.path.dirname(path)
    is_test = folder == "tests" or folder.startswith("tests/")
    layer = test_layer_of(folder) if is_test else layer_of(folder)
    if layer is None:
        problems.append(f"{path}: {folder}/ is in no layer of scripts/check-layers.sh")
        continue
    for number, kind, inc in includes(path):
        if kind == "<":
            if QT.match("<" + inc) and not path.startswith(QT_FOLDERS):
                report(path, number, inc, f"includes Qt ({inc}) outside gui/")
            for pattern, home, what in PRIVATE_LIBRARIES:
                if pattern.match("<" + inc) and not path.startswith(home):
                    report(path, number, inc, f"includes {what} ({inc}) outside its module {home}")
            continue
        if not os.path.isfile(inc):
            report(path, number, inc, f'includes "{inc}", which is no path from the top folder')
            continue
        target_folder = os.path.dirname(inc)
        if target_folder.startswith("tests/"):
            if not is_test:
                report(path, number, inc, f"includes the test helper {inc}")
            elif target_folder != "tests/support" and test_layer_of(target_folder) not in MAY_USE[layer]:
                report(path, number, inc, f"includes {inc}, a test helper of a layer above {layer}")
            continue
        target = layer_of(target_folder)
        if target not in MAY_USE[layer]:
            report(path, number, inc, f"includes {inc}: {layer} may not use {target or target_folder}")
        elif layer == "headless" and target != "headless" and not is_test:
            # Reported where headless/ reaches out of its own layer, once per crossing.
            chain = reaches_form(inc, set())
            if chain:
                report(path, number, inc, "reaches the window's form: " + " -> ".join(chain))

for path, inc in sorted(used):
    print(f"{path}: includes {inc}: allowed for now, being reworked")
for path, inc in sorted(ALLOWED - used):
    problems.append(f"{path}: no longer includes {inc}: take it off the allowed list")

if problems:
    print("\n".join(problems))
    print(f"check-layers: {len(problems)} violation(s)", file=sys.stderr)
    sys.exit(1)
PY
