# Sourced by the test scripts. run_ctest DIR ARGS... runs ctest in DIR and
# shows its output; when TABULON_TEST_SUMMARY names a file, it also adds
# "failed total skipped" of that run to it, so scripts/test.sh can print one closing
# line for all its runs. Returns ctest's status.
run_ctest() {
  _dir=$1
  shift
  _out=$(mktemp)
  _status=0
  (cd "$_dir" && ctest "$@") >"$_out" 2>&1 || _status=1
  cat "$_out"
  if [ -n "${TABULON_TEST_SUMMARY:-}" ]; then
    _skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .*\(Skipped\)$' "$_out" || true)
    sed -n "s/.*tests passed, \([0-9][0-9]*\) tests\{0,1\} failed out of \([0-9][0-9]*\).*/\1 \2 $_skipped/p" \
      "$_out" >>"$TABULON_TEST_SUMMARY"
  fi
  rm -f "$_out"
  return $_status
}
