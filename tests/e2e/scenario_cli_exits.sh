# Headless scenario; see cli_downloads.sh.
. "$here/cli_downloads.sh"

# The runs of PelorinCli.exe that end early end with the status they document, every time, and
# Wine has nothing to say about them: each path 20 times, standard output and standard error
# compared whole with what the program prints, each run over within seconds. Once in this
# build's prefix, and for the i686 build also in a 32-bit prefix made by the plain `wine`
# (whose server ends as soon as the last program does).
exits_repeats=20
exits_limit_ms=5000

# exits_path RUNNER LABEL WHAT STATUS OUT ERR ARGS...: runs PelorinCli.exe ARGS through RUNNER
# exits_repeats times; each run must end with STATUS, print OUT and ERR exactly, within
# exits_limit_ms.
exits_path() {
  local runner=$1 label=$2 what=$3 want=$4 want_out=$5 want_err=$6
  shift 6
  local good=0 max=0 first_bad="" i
  for ((i = 1; i <= exits_repeats; i++)); do
    local started status ms
    started=$(date +%s%N)
    "$runner" "$cli_exe" "$@" >"$work/exits.out" 2>"$work/exits.err" </dev/null
    status=$?
    ms=$((($(date +%s%N) - started) / 1000000))
    [ "$ms" -gt "$max" ] && max=$ms
    if [ "$status" = "$want" ] && [ "$(cat "$work/exits.out")" == "$want_out" ] &&
      [ "$(cat "$work/exits.err")" == "$want_err" ] && [ "$ms" -le "$exits_limit_ms" ]; then
      good=$((good + 1))
    elif [ -z "$first_bad" ]; then
      first_bad="run $i: exit $status in $ms ms; standard output: \"$(cat "$work/exits.out")\";"
      first_bad+=" standard error: \"$(cat "$work/exits.err")\""
    fi
  done
  echo "measure: $label: $what: $good/$exits_repeats exit $want, max $(awk -v m="$max" 'BEGIN { printf "%.1f", m / 1000 }') s"
  [ "$good" -eq "$exits_repeats" ] ||
    fail "$label: $what: $((exits_repeats - good)) of $exits_repeats runs went wrong, the first: $first_bad"
}

# Every early path once through RUNNER (run_win or plain_win), named LABEL.
exits_paths() {
  local runner=$1 label=$2 image=$work/exits.nb0 huge=$work/exits-huge.nb0
  local missing=$work/exits-missing.nb0 version zeros
  version=$(sed -n 's/^project(Pelorin VERSION \([0-9.]*\) .*/\1/p' "$here/../../CMakeLists.txt")
  zeros=$(printf '0%.0s' $(seq 64))
  exits_path "$runner" "$label" "no device" 3 "no-device: no device ready" \
    "연결 에러: USB Cable 연결을 확인해 보세요. CODE:0 (PIPE01)" "$(win_path "$image")"
  exits_path "$runner" "$label" "missing image" 2 \
    "image-error: the image $(win_path "$missing") could not be sent, in 0.0 s" \
    "파일 에러: 이미지 파일을 열수 없습니다." "$(win_path "$missing")"
  exits_path "$runner" "$label" "5 GB image" 2 \
    "image-error: the image $(win_path "$huge") could not be sent, in 0.0 s" \
    "파일 에러: 이미지 파일을 열수 없습니다." "$(win_path "$huge")"
  exits_path "$runner" "$label" "wrong SHA-256" 2 "" \
    "PelorinCli: the image's SHA-256 is $(sha256sum "$image" | cut -d' ' -f1), not $zeros" \
    --station --sha256 "$zeros" "$(win_path "$image")"
  exits_path "$runner" "$label" "usage error" 2 "" \
    "PelorinCli: The following argument was not expected: --bogus
Run with --help for more information." --bogus x.nb0
  exits_path "$runner" "$label" "version" 0 "PelorinCli $version" "" --version
  exits_path "$runner" "$label" "list with no device" 3 "" "" --list
}

# The plain `wine` of the PATH in a 32-bit prefix of this scenario, with Wine's own messages
# left on (its default: every "err:" and "fixme:" line).
plain_prefix=$work/wineprefix-plain32
plain_win() {
  env -u WINEDEBUG -u WINELOADER -u WINESERVER WINEPREFIX="$plain_prefix" WINEARCH=win32 \
    WINEDLLOVERRIDES="mscoree,mshtml=" wine "$@"
}

scenario_cli_exits() {
  make_image "$work/exits.nb0" 1000
  rm -f "$work/exits-missing.nb0"
  truncate -s 5000000000 "$work/exits-huge.nb0"
  # No unit registered in this prefix while the paths run.
  start_devsim 0 || return
  exits_paths run_win "$arch prefix"
  stop_devsim

  if [ "$arch" = i686 ]; then
    extra_prefixes+=("$plain_prefix")
    if [ ! -f "$plain_prefix/.exits-ready" ]; then
      rm -rf "$plain_prefix"
      plain_win wineboot -i >/dev/null 2>&1 </dev/null
      WINEPREFIX=$plain_prefix wineserver -w
      touch "$plain_prefix/.exits-ready"
    fi
    # A server that starts afresh starts Wine's services, and they write to the standard error of
    # the run that started them: what they say is about the machine, not the program (on a host
    # whose name does not resolve, "err:winediag:getaddrinfo Failed to resolve your host name
    # IP"). A run of our own starts them; the judged runs follow at once, while the server lives.
    plain_win "$cli_exe" --version >/dev/null 2>&1 </dev/null
    # A prefix where no unit was ever registered: no devsim needed for "no device".
    exits_paths plain_win "plain 32-bit prefix"
    WINEPREFIX=$plain_prefix wineserver -k >/dev/null 2>&1
  else
    echo "note: the plain 32-bit prefix is for the i686 build only; skipped for $arch"
  fi
  rm -f "$work/exits-huge.nb0"
}
