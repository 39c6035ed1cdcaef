#!/usr/bin/python3
"""workbook-matches.py DATA.tab DATA.xlsx

Exit 0 when the workbook holds the rows of its result file: the same number of rows, the
header's texts, and in every row the same texts in the columns kept as text (region, GUID,
names, addresses, ...). Dates, numbers and links are kept in the workbook as what they are,
so only the columns that stay text are compared. Prints what differs otherwise.
"""
import re
import sys
import zipfile
import xml.etree.ElementTree as ET

NS = {"m": "http://schemas.openxmlformats.org/spreadsheetml/2006/main"}
# Zero-based columns a workbook keeps as text: region, GUID, full name, short name, OGRN.
TEXT_COLUMNS = [0, 1, 2, 3, 4]


def column_index(ref):
    letters = re.match(r"[A-Z]+", ref).group(0)
    n = 0
    for c in letters:
        n = n * 26 + (ord(c) - 64)
    return n - 1


def texts(node):
    return "".join(t.text or "" for t in node.iter("{%s}t" % NS["m"]))


def sheet_rows(path):
    with zipfile.ZipFile(path) as z:
        shared = []
        if "xl/sharedStrings.xml" in z.namelist():
            root = ET.fromstring(z.read("xl/sharedStrings.xml"))
            shared = [texts(si) for si in root.findall("m:si", NS)]
        root = ET.fromstring(z.read("xl/worksheets/sheet1.xml"))
    rows = []
    for row in root.iter("{%s}row" % NS["m"]):
        cells = {}
        for c in row.findall("m:c", NS):
            kind = c.get("t")
            v = c.find("m:v", NS)
            if kind == "s":
                value = shared[int(v.text)]
            elif kind == "inlineStr":
                value = texts(c.find("m:is", NS))
            else:
                value = v.text if v is not None else ""
            cells[column_index(c.get("r"))] = value
        rows.append(cells)
    return rows


def tab_rows(path):
    with open(path, "rb") as f:
        data = f.read().decode("utf-8")
    if data.startswith("\ufeff"):
        data = data[1:]
    lines = data.split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    return [line.split("\t") for line in lines]


def main():
    tab, xlsx = sys.argv[1:3]
    want = tab_rows(tab)
    got = sheet_rows(xlsx)
    problems = []
    if len(want) != len(got):
        problems.append("%d rows in the result file, %d in the workbook" % (len(want), len(got)))
    for i, (w, g) in enumerate(zip(want, got)):
        for col in TEXT_COLUMNS:
            if col < len(w) and w[col] != g.get(col, ""):
                problems.append("row %d column %d: %r in the result file, %r in the workbook"
                                % (i + 1, col + 1, w[col], g.get(col, "")))
                break
        if len(problems) > 5:
            break
    for p in problems:
        print(p)
    return 1 if problems else 0


sys.exit(main())
