#!/usr/bin/env bash
# Fuzzes the structure reader (load_structure on in-memory bytes) with AFL++
# under AddressSanitizer and UBSan. Installs what it needs. The instrumentation
# is AFL++'s GCC assembler mode (afl-g++): clang 14 cannot compile libstdc++ 12's
# <expected>, and Debian's afl-gcc-fast plugin rejects the installed GCC build.
#   scripts/fuzz.sh [seconds]      default 300
# Findings land in build-fuzz/out/default/crashes and .../hangs; replay one with
#   build-fuzz/tarvo-core/fuzz_load_structure <file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}

scripts/setup.sh afl++
export VIRTUAL_ENV=$PWD/.venv PATH=$PWD/.venv/bin:$PATH

build=build-fuzz
CXX=afl-g++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVO_FUZZ=ON -DTARVO_SANITIZE=ON -DTARVO_TESTS=OFF -DTARVO_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_load_structure -j 2

# Seeds: a flag byte (see the fuzz target) followed by small real structures.
seeds=$build/seeds
rm -rf "$seeds" && mkdir -p "$seeds"
{ printf '\x00'; head -n 40 examples/2GTP_native.pdb; } >"$seeds/pdb"
{ printf '\x02'; printf 'MODEL        1\n'; head -n 12 examples/3FN1_native.pdb | grep '^ATOM';
  printf 'HETATM 9001 FE   HEM A 901      1.000   2.000   3.000  0.50 10.00          FE\n'
  printf 'ENDMDL\nMODEL        2\n'; head -n 12 examples/3FN1_native.pdb | grep '^ATOM'
  printf 'ENDMDL\nEND\n'; } >"$seeds/pdb-models"
{ printf '\x10'; head -n 30 examples/2GTP_native.pdb | gzip -c; } >"$seeds/pdb-gz"
{ printf '\x00'; printf 'data_x\n#\n';
  awk '/^loop_/{l=NR} /^_atom_site\./{if(!s){s=1; print "loop_"} print; next} s&&!/^_/{if(n++<40)print; else exit}' examples/2XHE.cif
} >"$seeds/cif"
# The grammar real files add: gzip members (bgzip blocks) with padding after
# them; CR line ends, a byte-order mark, TER, HETATM MSE and hydrogens without
# element columns; mmCIF with comments, wrapped rows, rows sharing a line, a
# text field and no alt-id, insertion-code or occupancy column.
{ printf '\x10'; head -n 20 examples/2GTP_native.pdb | gzip -c; sed -n 21,40p examples/2GTP_native.pdb | gzip -c
  printf '' | gzip -c; printf '\0\0\0\0'; } >"$seeds/pdb-gz-members"
{ printf '\x00\xef\xbb\xbf'; { grep -m 8 '^ATOM' examples/3FN1_native.pdb | cut -c1-66
  printf 'HETATM   99  SE  MSE A  21      1.000   2.000   3.000  1.00 10.00\n'
  printf 'ATOM    100  HA  ALA A  22      1.000   2.000   3.000  1.00 10.00\nTER\n'
  printf 'HETATM  101  CA  GLU A 301      1.000   2.000   3.000  1.00 10.00\nEND\n'; } | tr '\n' '\r'; } >"$seeds/pdb-cr"
{ printf '\x00'; cat <<'CIF'
data_x
loop_ _atom_site.group_PDB _atom_site.type_symbol _atom_site.label_atom_id
_atom_site.label_comp_id _atom_site.label_asym_id _atom_site.auth_asym_id # tags
_atom_site.label_seq_id _atom_site.Cartn_x _atom_site.Cartn_y _atom_site.Cartn_z
ATOM N N MET A A 1 1.0 2.0 3.0 # a row
# a comment line
ATOM C CA
  MET A A 1 2.0 2.0 3.0  ATOM C "C" MET A A 1 3.0 2.0 3.0
HETATM SE SE
;MSE
;
A A 2 4.0 2.0 3.0
ATOM H H MET A A 1 nan 2.0 3.0
_other.tag x
CIF
} >"$seeds/cif-untidy"

cat >"$build/dict" <<'DICT'
"ATOM  "
"HETATM"
"MODEL "
"ENDMDL"
"END   "
"CONECT"
"loop_"
"data_"
"save_"
"_atom_site."
"_atom_site.group_PDB"
"_atom_site.type_symbol"
"_atom_site.label_atom_id"
"_atom_site.label_comp_id"
"_atom_site.auth_asym_id"
"_atom_site.label_asym_id"
"_atom_site.Cartn_x"
"_atom_site.label_alt_id"
"_atom_site.auth_seq_id"
"_atom_site.label_seq_id"
"_atom_site.pdbx_PDB_ins_code"
"_atom_site.occupancy"
"_atom_site.pdbx_PDB_model_num"
"\x1f\x8b"
"\x1f\x8b\x08\x00"
"\xef\xbf\xbd"
"\xef\xbb\xbf"
"TER   "
"MSE"
"\x0d"
"\x0a;"
"# "
DICT

# A later run resumes from the corpus of the earlier ones.
input=$seeds
[[ -d $build/out/default/queue ]] && input=-
export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1 AFL_NO_AFFINITY=1
afl-fuzz -i "$input" -o "$build/out" -x "$build/dict" -m none -t 2000 -V "$seconds" \
  -- "$build/tarvo-core/fuzz_load_structure" @@
grep -E '^(execs_done|execs_per_sec|corpus_count|bitmap_cvg|saved_crashes|saved_hangs)' \
  "$build/out/default/fuzzer_stats"
