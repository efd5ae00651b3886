#!/usr/bin/python3
"""check_resources.py STUB...

Reads the resources back out of each built stub and checks them field by field: dialog
template 100 (styles, extended styles, position, size, caption, font, and its three controls
in order), icon 1 (one 32 x 32 image of 16 colours) and the application manifest.
Exits 1 naming every field that differs.
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CLIPCHILDREN, WS_CAPTION, WS_BORDER, WS_TABSTOP = 0x02000000, 0x00C00000, 0x00800000, 0x00010000
DS_SYSMODAL, DS_SETFONT, DS_SETFOREGROUND, DS_CENTER = 0x02, 0x40, 0x200, 0x800
WS_EX_TOPMOST, WS_EX_TOOLWINDOW = 0x08, 0x80
BS_PUSHBUTTON, BS_CENTER, SS_CENTER = 0x0, 0x300, 0x1

EXPECTED_DIALOG = {
    "style": WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN | WS_CAPTION | DS_CENTER | DS_SETFOREGROUND | DS_SETFONT
    | DS_SYSMODAL,
    "extended_style": WS_EX_TOOLWINDOW | WS_EX_TOPMOST,
    "rect": (0, 0, 241, 41),
    "menu": "",
    "class": "",
    "caption": "Tarnvel Setup",
    "font": (9, "MS Sans Serif"),
}
# id, class (atom or name), text, rect, style; no control has an extended style.
EXPECTED_CONTROLS = [
    (2, 0x80, "&Cancel", (188, 20, 52, 12), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON | BS_CENTER),
    (101, "msctls_progress32", "P1", (4, 20, 176, 12), WS_CHILD | WS_VISIBLE | WS_BORDER),
    (103, 0x82, "Setup with tarnvel, please wait", (4, 4, 176, 16), WS_CHILD | WS_VISIBLE | SS_CENTER),
]


class Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def u16(self):
        (value,) = struct.unpack_from("<H", self.data, self.at)
        self.at += 2
        return value

    def u32(self):
        (value,) = struct.unpack_from("<I", self.data, self.at)
        self.at += 4
        return value

    def s16(self):
        (value,) = struct.unpack_from("<h", self.data, self.at)
        self.at += 2
        return value

    def text(self):
        chars = []
        while (c := self.u16()) != 0:
            chars.append(chr(c))
        return "".join(chars)

    def name_or_ordinal(self):
        if struct.unpack_from("<H", self.data, self.at)[0] == 0xFFFF:
            self.at += 2
            return self.u16()
        return self.text()

    def align(self):
        self.at = (self.at + 3) & ~3


def resources(pe, type_id):
    """{(id, language): bytes} of one resource type."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                rva, size = language.data.struct.OffsetToData, language.data.struct.Size
                found[(entry.id, language.id)] = pe.get_data(rva, size)
    return found


def parse_dialog(data):
    r = Reader(data)
    dialog = {"style": r.u32(), "extended_style": r.u32()}
    count = r.u16()
    dialog["rect"] = (r.s16(), r.s16(), r.s16(), r.s16())
    dialog["menu"] = r.name_or_ordinal()
    dialog["class"] = r.name_or_ordinal()
    dialog["caption"] = r.text()
    if dialog["style"] & DS_SETFONT:
        dialog["font"] = (r.u16(), r.text())
    controls = []
    for _ in range(count):
        r.align()
        style, extended = r.u32(), r.u32()
        rect = (r.s16(), r.s16(), r.s16(), r.s16())
        control_id = r.u16()
        control_class = r.name_or_ordinal()
        text = r.name_or_ordinal()
        extra = r.u16()
        r.at += extra
        controls.append((control_id, control_class, text, rect, style, extended))
    return dialog, controls


def check(path):
    problems = []
    pe = pefile.PE(path)

    dialogs = resources(pe, pefile.RESOURCE_TYPE["RT_DIALOG"])
    if list(dialogs) != [(100, 0)]:
        problems.append(f"dialogs {list(dialogs)}, expected only 100 in the neutral language")
    if 100 in [key[0] for key in dialogs]:
        data = next(v for (k, _), v in dialogs.items() if k == 100)
        if struct.unpack_from("<HH", data)[1] == 0xFFFF:
            problems.append("dialog 100 is an extended template")
        else:
            dialog, controls = parse_dialog(data)
            for field, want in EXPECTED_DIALOG.items():
                if dialog.get(field) != want:
                    got = dialog.get(field)
                    shown = f"{got:#x} (expected {want:#x})" if isinstance(want, int) else f"{got!r} (expected {want!r})"
                    problems.append(f"dialog 100 {field} {shown}")
            if len(controls) != len(EXPECTED_CONTROLS):
                problems.append(f"dialog 100 has {len(controls)} controls, expected {len(EXPECTED_CONTROLS)}")
            for number, (got, want) in enumerate(zip(controls, EXPECTED_CONTROLS), 1):
                names = ("id", "class", "text", "rect", "style")
                for name, g, w in zip(names, got, want):
                    if g != w:
                        problems.append(f"control {number} {name} {g!r} (expected {w!r})")
                if got[5] != 0:
                    problems.append(f"control {number} extended style {got[5]:#x} (expected none)")

    groups = resources(pe, pefile.RESOURCE_TYPE["RT_GROUP_ICON"])
    if [key[0] for key in groups] != [1]:
        problems.append(f"icon groups {list(groups)}, expected only 1")
    else:
        data = next(iter(groups.values()))
        _, kind, count = struct.unpack_from("<HHH", data)
        if kind != 1 or count != 1:
            problems.append(f"icon group 1 holds {count} images of type {kind}, expected one icon")
        else:
            width, height, colours, _, planes, bits = struct.unpack_from("<BBBBHH", data, 6)
            if (width, height) != (32, 32) or (colours, bits) not in ((16, 4), (16, 0), (0, 4)):
                problems.append(f"icon image {width}x{height}, {colours} colours, {bits} bits; expected 32x32, 16 colours")

    manifests = resources(pe, pefile.RESOURCE_TYPE["RT_MANIFEST"])
    if [key[0] for key in manifests] != [1]:
        problems.append(f"manifests {list(manifests)}, expected resource 1")
    else:
        text = next(iter(manifests.values())).decode("utf-8")
        root = ElementTree.fromstring(text)
        ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
              "c": "urn:schemas-microsoft-com:compatibility.v1"}
        level = root.find(".//v3:requestedExecutionLevel", ns)
        if level is None or level.get("level") != "asInvoker":
            problems.append("manifest: requestedExecutionLevel is not asInvoker")
        controls = [a for a in root.findall(".//v1:dependentAssembly/v1:assemblyIdentity", ns)
                    if a.get("name") == "Microsoft.Windows.Common-Controls"]
        if not controls or controls[0].get("version") != "6.0.0.0":
            problems.append("manifest: no dependency on the common controls version 6")
        systems = {s.get("Id") for s in root.findall(".//c:supportedOS", ns)}
        windows_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
        if windows_10 not in systems or len(systems) < 4:
            problems.append(f"manifest: supportedOS entries {sorted(systems)}")
    return problems


def main():
    failed = False
    for path in sys.argv[1:]:
        problems = check(path)
        for p in problems:
            print(f"FAIL: {path}: {p}")
        if not problems:
            print(f"ok: {path}: dialog 100, icon 1 and the manifest are as designed")
        failed |= bool(problems)
    sys.exit(1 if failed or len(sys.argv) < 2 else 0)


if __name__ == "__main__":
    main()
