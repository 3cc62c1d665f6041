#!/bin/bash
# The walk (-W) on real data: a pinned sample of Debian's package lists
# (tests/data/debian/Packages.xz, 3000 stanzas, see make-sample there) turned
# into a catalogue of zpc-dirs.so by bench/debian/convert.  For 20 packages
# picked at random (fixed seed), the set of names the walk reports must equal
# the dependency closure that an independent reader of the same index
# computes.
source "$(dirname "$0")/lib.sh"

SEED=${ZPM_DEBIAN_SEED:-20261207}
SAMPLE=$ZPM_SRC/tests/data/debian/Packages.xz

setup_root
REPO=/var/lib/zpm/debrepo
if ! python3 "$ZPM_SRC/bench/debian/convert" --stats "$ZR$REPO" "$SAMPLE" 2>"$ZR/tmp/convert.err"; then
  fail "convert the Debian sample" "$(cat "$ZR/tmp/convert.err")"
  finish
fi
echo "converted: $(cat "$ZR/tmp/convert.err")"
echo "zpc_dirs=$REPO" >> "$ZR/etc/zpm.conf"

# The independent side: read index.ldif, pick the packages, compute closures
# by an iterative depth-first search, counting edges and the cycles met (back
# edges to a package still on the search path).
cat > "$ZR/tmp/closure.py" <<'EOF'
import random, sys
index, seed, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
deps, name = {}, None
for line in open(index, encoding="utf-8"):
    line = line.rstrip("\n")
    if line.startswith("ezpkName: "):
        name = line[10:]
        deps[name] = []
    elif line.startswith("ezpkDependency: "):
        deps[name].append(line[16:])
if mode == "pick":
    for n in random.Random(seed).sample(sorted(deps), 20):
        print(n)
    sys.exit(0)
start = mode
seen, on_path, edges, cycles = set(), set(), 0, 0
stack = [(start, iter(deps.get(start, [])))]
seen.add(start); on_path.add(start)
while stack:
    node, it = stack[-1]
    nxt = next(it, None)
    if nxt is None:
        on_path.discard(node); stack.pop(); continue
    edges += 1
    if nxt in on_path:
        cycles += 1
    if nxt in seen or nxt not in deps:
        continue
    seen.add(nxt); on_path.add(nxt)
    stack.append((nxt, iter(deps[nxt])))
print("#stats %d %d %d" % (len(seen), edges, cycles))
for n in sorted(seen):
    print(n)
EOF

mapfile -t picks < <(python3 "$ZR/tmp/closure.py" "$ZR$REPO/index.ldif" "$SEED" pick)
check_eq "20 packages picked with seed $SEED" 20 "${#picks[@]}"

tot_pk=0 tot_edges=0 tot_cycles=0
for p in "${picks[@]}"; do
  yad_reset
  zpm_run -W -v "$p"
  check_eq "zpm -W $p exits with 0" 0 "$RC"
  shown=$(yad_stdin 1)
  first=$(printf '%s\n' "$shown" | head -1)
  check_eq "walk of $p begins with its name" "Walking $p" "$first"
  head_line=$(printf '%s\n' "$shown" | sed -n 2p)
  check_contains "head of $p is requested by the user" " for User is available remotely" "$head_line"
  # Names from "<name>_<arch>_<version> for <candidate> is <status>" (Debian
  # names have no underscore).
  walked=$(printf '%s\n' "$shown" | sed -n '2,$p' | sed -n 's/^\([^_]*\)_.* for .* is .*$/\1/p' | sort -u)
  expected=$(python3 "$ZR/tmp/closure.py" "$ZR$REPO/index.ldif" 0 "$p")
  read -r _ n_pk n_edges n_cycles <<<"$(printf '%s\n' "$expected" | head -1)"
  want=$(printf '%s\n' "$expected" | sed 1d)
  if [ "$walked" == "$want" ]; then
    pass "walk of $p reports its closure ($n_pk packages, $n_edges edges, $n_cycles cycles met)"
  else
    fail "walk of $p reports its closure" \
      "missing: $(comm -13 <(echo "$walked") <(echo "$want") | head -5 | tr '\n' ' ')" \
      "extra: $(comm -23 <(echo "$walked") <(echo "$want") | head -5 | tr '\n' ' ')"
  fi
  tot_pk=$((tot_pk + n_pk)); tot_edges=$((tot_edges + n_edges)); tot_cycles=$((tot_cycles + n_cycles))
done
echo "closures walked: $tot_pk packages, $tot_edges edges, $tot_cycles cycles met"
check "cycles were met on the way" [ "$tot_cycles" -gt 0 ]
finish
