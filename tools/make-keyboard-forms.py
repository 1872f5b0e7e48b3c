#!/usr/bin/python3
"""Writes the Designer forms of the on-screen keyboard into forms/.

The three panels and the ten accent key bars are fixed grids of absolutely
placed keys; writing 13 forms by hand invites typos, so their key tables live
here and this script lays them out. The tables are the one source of the
layout; the .ui files it writes are committed for uic and Qt Designer. To change
a key, change the tables and run this again
(/usr/bin/python3 tools/make-keyboard-forms.py [FOLDER], default forms/). The
test keyboard_forms writes the forms into a temporary folder and compares them
with the committed ones byte for byte, so a form edited in one place only fails.
"""

import argparse
import os
import sys
import xml.etree.ElementTree as ET

FORMS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "forms")

PITCH = 60
KEY = 50


class Key:
    def __init__(self, name, label, x, y, w=KEY, h=KEY, value=None, translate=True):
        self.name = name
        self.label = label
        self.x, self.y, self.w, self.h = x, y, w, h
        self.value = value  # code point of the character the key types, None for function keys
        self.translate = translate

    def centre(self):
        return self.x + self.w // 2, self.y + self.h // 2


def letter_positions():
    """QWERTZ grid: letter -> (x, y)."""
    rows = [(20, 0, "QWERTZUIOP"), (80, 40, "ASDFGHJKL"), (140, 60, "YXCVBNM")]
    pos = {}
    for y, x0, letters in rows:
        for i, letter in enumerate(letters):
            pos[letter] = (x0 + PITCH * i, y)
    return pos


def bottom_row_keys():
    """The row-4 character keys every panel has, in mapping order '@', ',', '.', space."""
    return [
        Key("panelButton_at", "@", 90, 200, value=ord("@")),
        Key("panelButton_comma", ",", 540, 200, value=ord(",")),
        Key("panelButton_point", ".", 480, 200, value=ord(".")),
        Key("panelButton_space", "", 150, 200, 320, KEY, value=ord(" "), translate=False),
    ]


def function_keys(number_label):
    return [
        Key("shiftButton", "Shift", 0, 140),
        Key("backspaceButton", "<==", 480, 140, 110, 50),
        Key("numberButton", number_label, 0, 200, 80, 50),
        Key("enterButton", "Ok", 480, 288, 110, 60),
        Key("cancelButton", "Cancel", 630, 288, 80, 60),
    ]


def letter_panel(form, small):
    pos = letter_positions()
    keys = []
    for letter in "ABCDEFGHIJKLMNOPQRSTUVWXYZ":
        char = letter.lower() if small else letter
        x, y = pos[letter]
        keys.append(Key("panelButton_" + letter, char, x, y, value=ord(char)))
    keys += bottom_row_keys()
    keys += function_keys("123")
    shift_slot = "unShiftPressed()" if small else "shiftPressed()"
    connections = [
        ("enterButton", "clicked()", "enterPressed()"),
        ("shiftButton", "clicked()", shift_slot),
        ("cancelButton", "clicked()", "cancelPressed()"),
        ("backspaceButton", "clicked()", "backspacePressed()"),
    ]
    connections += [("panelButton_" + v, "pressed()", "keyPressed%s()" % v) for v in "AEIOU"]
    connections.append(("numberButton", "clicked()", "numberPressed()"))
    return form, "Input Panel", (720, 400), keys, connections


def number_panel():
    keys = []
    row1 = [("1", "1"), ("2", "2"), ("3", "3"), ("4", "4"), ("5", "5"), ("6", "6"),
            ("7", "7"), ("8", "8"), ("9", "9"), ("0", "0")]
    row2 = [("at2", "@"), ("hash", "#"), ("bracketOpen", "("), ("bracketClose", ")"),
            ("equal", "="), ("plus", "+"), ("minus", "-"), ("star", "*"), ("slash", "/")]
    row3 = [("exclamation", "!"), ("question", "?"), ("dollar", "$"), ("semicolon", ";"),
            ("colon", ":"), ("comma2", ","), ("point2", ".")]
    for (y, x0, row) in [(20, 0, row1), (80, 40, row2), (140, 60, row3)]:
        for i, (suffix, char) in enumerate(row):
            keys.append(Key("panelButton_" + suffix, char, x0 + PITCH * i, y, value=ord(char)))
    keys += bottom_row_keys()
    keys += function_keys("ABC")
    # The Shift key of this panel stays inert: nothing is connected to it.
    connections = [
        ("backspaceButton", "clicked()", "backspacePressed()"),
        ("numberButton", "clicked()", "alphaPressed()"),
        ("enterButton", "clicked()", "enterPressed()"),
        ("cancelButton", "clicked()", "cancelPressed()"),
    ]
    return "InputPanelNumberForm", "Input Panel Number", (720, 400), keys, connections


def key_bars():
    accents = {"A": "ÄÂÁÀÃ", "E": "ËÊÉÈ", "I": "ÏÎÍÌ", "O": "ÖÔÓÒÕ", "U": "ÜÛÚÙ"}
    bars = []
    for vowel, letters in accents.items():
        for small in (False, True):
            title = "KeyBar_" + vowel + ("_small" if small else "")
            keys = []
            for i, letter in enumerate(letters.lower() if small else letters):
                keys.append(Key("panelButton_%s_%d" % (vowel, i + 2), letter, 10 + PITCH * i, 10,
                                value=ord(letter)))
            size = (10 + PITCH * len(keys), 70)
            bars.append((title + "_Form", title, size, keys, []))
    return bars


def sub(parent, tag, text=None, **attrs):
    element = ET.SubElement(parent, tag, attrs)
    if text is not None:
        element.text = text
    return element


def prop(parent, name, stdset=True):
    attrs = {"name": name}
    if not stdset:
        attrs["stdset"] = "0"
    return sub(parent, "property", **attrs)


def rect(parent, x, y, w, h):
    r = sub(prop(parent, "geometry"), "rect")
    for tag, value in (("x", x), ("y", y), ("width", w), ("height", h)):
        sub(r, tag, str(value))


def point(parent, tag, x, y, **attrs):
    hint = sub(parent, tag, **attrs)
    sub(hint, "x", str(x))
    sub(hint, "y", str(y))


def key_widget(parent, key):
    w = sub(parent, "widget", **{"class": "QPushButton", "name": key.name})
    rect(w, key.x, key.y, key.w, key.h)
    if key.value is not None:
        policy = sub(prop(w, "sizePolicy"), "sizepolicy", hsizetype="Minimum", vsizetype="Minimum")
        sub(policy, "horstretch", "0")
        sub(policy, "verstretch", "0")
        size = sub(prop(w, "minimumSize"), "size")
        sub(size, "width", "45")
        sub(size, "height", "40")
    font = sub(prop(w, "font"), "font")
    sub(font, "family", "Arial")
    sub(font, "pointsize", "12")
    sub(prop(w, "focusPolicy"), "enum", "Qt::NoFocus")
    if key.translate:
        sub(prop(w, "text"), "string", key.label)
    else:
        sub(prop(w, "text"), "string", key.label, notr="true")
    if key.value is not None:
        sub(prop(w, "buttonValue", stdset=False), "number", str(key.value))


def form_xml(form, title, size, keys, connections):
    ui = ET.Element("ui", version="4.0")
    sub(ui, "class", form)
    top = sub(ui, "widget", **{"class": "QWidget", "name": form})
    rect(top, 0, 0, size[0], size[1])
    sub(prop(top, "windowTitle"), "string", title)
    for key in keys:
        key_widget(top, key)
    sub(ui, "resources")
    by_name = {k.name: k for k in keys}
    if connections:
        conns = sub(ui, "connections")
        for sender, signal, slot in connections:
            c = sub(conns, "connection")
            sub(c, "sender", sender)
            sub(c, "signal", signal)
            sub(c, "receiver", form)
            sub(c, "slot", slot)
            hints = sub(c, "hints")
            x, y = by_name[sender].centre()
            point(hints, "hint", x, y, type="sourcelabel")
            point(hints, "hint", 360, 380, type="destinationlabel")
        slots = sub(ui, "slots")
        seen = []
        for _, _, slot in connections:
            if slot not in seen:
                seen.append(slot)
                sub(slots, "slot", slot)
    ET.indent(ui, space=" ")
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(ui, encoding="unicode") + "\n"


def main():
    parser = argparse.ArgumentParser(description="Writes the on-screen keyboard's forms.")
    parser.add_argument("folder", nargs="?", default=FORMS_DIR,
                        help="where the .ui files go (default: the forms/ folder)")
    folder = parser.parse_args().folder
    forms = [letter_panel("InputPanelForm", False), letter_panel("InputPanelShiftForm", True),
             number_panel()] + key_bars()
    for form in forms:
        path = os.path.join(folder, form[0].lower() + ".ui")
        with open(path, "w", encoding="utf-8", newline="\n") as out:
            out.write(form_xml(*form))
        print(os.path.normpath(path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
