#!/usr/bin/env python3
"""No two modules include each other, directly or through others. A module is x.h with x.cpp;
module A depends on B when A's header or source includes B's header. Prints every cycle found
(a strongly connected group of modules) and exits 1 when there is one."""
import os
import re
import subprocess
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
files = subprocess.run(["git", "ls-files", "*.h", "*.cpp"], cwd=root, capture_output=True,
                       text=True, check=True).stdout.split()
include = re.compile(r'^\s*#\s*include\s+"([^"]+)\.h"', re.M)
modules = {os.path.splitext(f)[0] for f in files if f.endswith(".h")}
edges = {m: set() for m in modules}
for f in files:
    module = os.path.splitext(f)[0]
    if module not in edges:
        continue
    with open(os.path.join(root, f), encoding="utf-8", errors="replace") as text:
        for target in include.findall(text.read()):
            if target in modules and target != module:
                edges[module].add(target)

# Tarjan's strongly connected components, iteratively.
index, low, on_stack, stack, groups, counter = {}, {}, set(), [], [], [0]
for start in sorted(edges):
    if start in index:
        continue
    work = [(start, iter(sorted(edges[start])))]
    index[start] = low[start] = counter[0]; counter[0] += 1
    stack.append(start); on_stack.add(start)
    while work:
        node, children = work[-1]
        child = next(children, None)
        if child is None:
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                group = []
                while True:
                    member = stack.pop(); on_stack.discard(member); group.append(member)
                    if member == node:
                        break
                if len(group) > 1:
                    groups.append(sorted(group))
        elif child not in index:
            index[child] = low[child] = counter[0]; counter[0] += 1
            stack.append(child); on_stack.add(child)
            work.append((child, iter(sorted(edges[child]))))
        elif child in on_stack:
            low[node] = min(low[node], index[child])

for group in groups:
    print("FAIL: modules include each other: " + ", ".join(group), file=sys.stderr)
sys.exit(1 if groups else 0)
