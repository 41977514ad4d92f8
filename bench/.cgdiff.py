import re, subprocess, sys
def load(f):
    out = subprocess.run(["callgrind_annotate", "--threshold=100", f], capture_output=True, text=True).stdout
    d = {}
    for line in out.splitlines():
        m = re.match(r"\s*([\d,]+) \([^)]*\)\s+(.*)", line)
        if m and "PROGRAM TOTALS" not in line:
            fn = re.sub(r"^.*/", "", m.group(2)).split(" [")[0]
            d[fn] = d.get(fn, 0) + int(m.group(1).replace(",", ""))
    return d
a, b, n = load(sys.argv[1]), load(sys.argv[2]), int(sys.argv[3])
diff = {k: (b.get(k, 0) - a.get(k, 0)) / n for k in set(a) | set(b)}
tot = 0
for k, v in sorted(diff.items(), key=lambda x: -x[1]):
    if abs(v) >= 1: print(f"{v:8.1f}  {k}")
    tot += v
print(f"{tot:8.1f}  TOTAL")
