#!/usr/bin/python3
# Makes a large property file for timing its load, e.g.
#   bench/make_property_file.py 300000 > big.json
#   time build/qvsmtp send --props big.json --port 1 --quiet
# Writes a property file with N entries: one record holding them all
# ("entries"), or N records of one entry each ("controls").
import sys
n = int(sys.argv[1]); mode = sys.argv[2] if len(sys.argv) > 2 else "entries"
out = sys.stdout
out.write('{\n  "format": "qvcontrols1-properties",\n  "version": 1,\n  "controls": {\n')
if mode == "entries":
    lines = ['      {"key": "RemoteHost", "type": "String", "value": "localhost"}']
    lines += ['      {"key": "K%06d", "type": "Integer", "value": %d}' % (i, i % 30000) for i in range(n - 1)]
    out.write('    "qvSMTP1": [\n' + ",\n".join(lines) + '\n    ]\n')
else:
    recs = ['    "%s": [{"key": "RemoteHost", "type": "String", "value": "x"}]' % ("qvSMTP1" if i == 0 else "c%06d" % i) for i in range(n)]
    out.write(",\n".join(recs) + "\n")
out.write('  }\n}\n')
