# shellcheck shell=bash
# Shared steps of the bash checks. A check sets `check` to its name and
# sources this file:
#
#   check=check-foo
#   . "$(dirname "$0")/lib.sh"
#
# It then runs from the top of the tree, with `set -euo pipefail`, and has:
#   fail MESSAGE...            one line on stderr, status 1
#   at_exit COMMAND            run COMMAND when the check ends, however it ends
#   port_held [PID]            UDP 17825 is held (by PID, if given)
#   wait_port [PID] / wait_port_free
#   smoke_run [--log F] [--deadline S] COMMAND   a logger's life as a user meets it
#   readme_block NAME          the README block marked NAME (.ci/korvi_ci.py)
#   copy_tree DIR              the tracked files, as a clean clone holds them
#   debian_root NAME           makes or reuses the named Debian root; prints it
#   build_deb DIR [--commit C] [--revision R]   the .deb of this tree (or
#                              of commit C), as it is or as revision R
#   in_root ROOT [OPTION]... -- COMMAND...   (.ci/in-root)
#   boot_container NAME ROOT [NSPAWN-OPTION]...   boots ROOT with systemd;
#                              `ct NAME COMMAND...` then runs a command in it
#   boot_forwarding DIR DEB [NSPAWN-OPTION]...   containers edge and central,
#                              the edge's journal carried to central
#   collect_numbers FIRST COUNT COMMAND...   the numbered lines (of the
#                              benchmark's sender) that COMMAND's text holds
#   number_problems FIRST COUNT [REPEATS]   what is wrong with them, or nothing
# Every wait has a deadline. With pipefail, `grep -q` may end a pipe early and
# fail it (SIGPIPE to the writer): checks send grep's output to /dev/null.
set -euo pipefail
ci=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$ci/.."

fail() {
    echo "${check:-ci}: $*" >&2
    exit 1
}

_at_exit=()
at_exit() { _at_exit=("$1" "${_at_exit[@]}"); }
_run_at_exit() {
    local command
    for command in "${_at_exit[@]}"; do eval "$command" || true; done
}
trap _run_at_exit EXIT

# True when a socket on UDP 17825 is open (one of process $1's, if given),
# as /proc/net/udp and udp6 show it.
port_held() {
    local inodes=
    if [ $# -gt 0 ]; then
        inodes=$(find "/proc/$1/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null |
            sed 's/^socket:\[\(.*\)\]$/\1/' | tr '\n' ' ')
        [ -n "$inodes" ] || return 1
    fi
    awk -v inodes=" $inodes" 'FNR > 1 && toupper($2) ~ /:45A1$/ &&
        (inodes == " " || index(inodes, " " $10 " ")) { found = 1 }
        END { exit !found }' /proc/net/udp /proc/net/udp6 2>/dev/null
}

# Waits up to 10 s until UDP 17825 is held (by process $1, if given).
wait_port() {
    local _
    for _ in $(seq 200); do
        port_held "$@" && return 0
        [ $# -eq 0 ] || kill -0 "$1" 2>/dev/null || fail "process $1 ended before it held UDP 17825"
        sleep 0.05
    done
    fail "nothing held UDP 17825 within 10 s"
}

# Waits up to 10 s until nothing holds UDP 17825.
wait_port_free() {
    local _
    for _ in $(seq 200); do
        port_held || return 0
        sleep 0.05
    done
    fail "UDP 17825 is still held after 10 s: $(ss -uanp 'sport = :17825' 2>/dev/null | tail -n +2)"
}

# Runs `bash -c COMMAND` as a terminal runs a command: a job of its own
# (a process group, SIGINT at its default), its output to the file
# $smoke_screen. Once the file F (--log; the screen if not given) shows the
# banner and UDP 17825 is held, sends "hello" to 127.0.0.1, waits until F
# shows it, and sends SIGINT to the whole job, as Ctrl-C does. Sets
# $smoke_status to the job's exit status; the caller compares the files.
# Fails when the job ends before the banner, or when the start (a build
# included) takes more than S seconds (--deadline; 10 if not given) or a
# later step more than 10 s.
# shellcheck disable=SC2034 # smoke_status is the caller's to read
smoke_run() {
    local log='' deadline=10 job _
    while [ $# -gt 1 ]; do
        case $1 in
        --log) log=$2 && shift 2 ;;
        --deadline) deadline=$2 && shift 2 ;;
        *) break ;;
        esac
    done
    smoke_screen=$(mktemp)
    at_exit "rm -f $smoke_screen"
    log=${log:-$smoke_screen}
    rm -f "$log"
    set -m # job control: the job is a process group of its own, SIGINT at its default
    bash -c "$1" >"$smoke_screen" 2>&1 </dev/null &
    job=$!
    set +m
    _smoke_wait "$job" $((deadline * 20)) "grep -q 'KORVI Logger (v1.1)\$' '$log' 2>/dev/null && port_held" ||
        fail "\`$1\` did not start: $(tail -20 "$smoke_screen")"
    echo hello >/dev/udp/127.0.0.1/17825
    _smoke_wait "$job" 200 "grep -q 'hello\$' '$log' 2>/dev/null" ||
        fail "\`$1\` did not show the line sent to it: $(tail -20 "$smoke_screen")"
    kill -INT -- "-$job"
    # Ended: gone, or a zombie not reaped yet.
    _smoke_wait "$job" 200 "! kill -0 $job 2>/dev/null || grep -q '^[0-9]* (.*) Z' /proc/$job/stat 2>/dev/null" ||
        fail "\`$1\` did not end within 10 s of SIGINT: $(tail -20 "$smoke_screen")"
    smoke_status=0
    wait "$job" || smoke_status=$?
}

# Asks `eval $3` every 50 ms, at most $2 times, while job $1 runs. On the
# deadline, says on stderr what of the job still runs, and ends it.
_smoke_wait() {
    local _
    for _ in $(seq "$2"); do
        eval "$3" && return 0
        kill -0 "$1" 2>/dev/null || return 1
        sleep 0.05
    done
    echo "still running:" >&2
    ps -o pid,stat,wchan:24,args -g "$1" >&2 || true
    kill -KILL -- "-$1" 2>/dev/null
    return 1
}

readme_block() { python3 "$ci/korvi_ci.py" block "$1"; }

copy_tree() { git ls-files -z | xargs -0 cp --parents -t "$1"; }

debian_root() { "$ci/debian-root" "$1"; }

# Builds the .deb of this tree (the deb preset) into folder $1 and prints
# its path. --commit C builds the tree as it was at commit C; --revision R
# adds a changelog entry for Debian revision R first, as a maintainer makes
# the next one.
build_deb() {
    local dir=$1 tree=. commit='' revision='' upstream deb
    shift
    while [ $# -gt 0 ]; do
        case $1 in
        --commit) commit=$2 && shift 2 ;;
        --revision) revision=$2 && shift 2 ;;
        *) fail "build_deb: unknown option $1" ;;
        esac
    done
    if [ -n "$commit$revision" ]; then
        tree=$(mktemp -d)
        if [ -n "$commit" ]; then git archive "$commit" | tar -x -C "$tree"; else copy_tree "$tree"; fi
    fi
    if [ -n "$revision" ]; then
        upstream=$(sed -n '1s/^korvi-logger (\([0-9.]*\)-[0-9]*).*/\1/p' "$tree/packaging/debian/changelog")
        {
            printf 'korvi-logger (%s-%s) unstable; urgency=medium\n\n' "$upstream" "$revision"
            printf '  * Rebuilt by CI as a higher version to upgrade to.\n\n'
            printf ' -- CI <ci@localhost>  %s\n\n' "$(date -R)"
            cat "$tree/packaging/debian/changelog"
        } >"$tree/packaging/debian/changelog.new"
        mv "$tree/packaging/debian/changelog.new" "$tree/packaging/debian/changelog"
    fi
    (cd "$tree" && rm -rf build/deb && cmake --workflow --preset deb >"$dir/build-deb.log" 2>&1) ||
        fail "cmake --workflow --preset deb failed: $(tail -20 "$dir/build-deb.log")"
    deb=$(find "$tree/build/deb" -maxdepth 1 -name "korvi-logger_*_$(dpkg --print-architecture).deb")
    cp "$deb" "$dir/"
    [ "$tree" = . ] || rm -rf "$tree"
    echo "$dir/$(basename "$deb")"
}

in_root() { "$ci/in-root" "$@"; }

# Boots a throw-away copy of Debian root $2 under systemd-nspawn as
# container $1, with the nspawn options that follow, and waits until its
# systemd is running; `ct $1 COMMAND...` then runs a command in it. The
# container is powered off when the check ends. Its boot log is kept beside
# the root, as boot-$1.log.
declare -A _container_init
boot_container() {
    local name=$1 root=$2 log nspawn init='' state _
    shift 2
    log=$(dirname "$root")/boot-$name.log
    # Its own host name: systemd sets it from /etc/hostname, which a root
    # made by debootstrap copies from this machine.
    echo "$name" >"$(dirname "$root")/hostname-$name"
    # The unified cgroup hierarchy lets the container's systemd freeze units
    # and, with CAP_BPF and bpf(2), enforce IPAddressAllow= and IPAddressDeny=.
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -D "$root" --ephemeral -b --register=no \
        --keep-unit -M "$name" --bind-ro="$(dirname "$root")/hostname-$name:/etc/hostname" \
        --capability=CAP_BPF --system-call-filter=bpf "$@" \
        >"$log" 2>&1 </dev/null &
    nspawn=$!
    at_exit "kill $nspawn 2>/dev/null; wait $nspawn 2>/dev/null"
    for _ in $(seq 150); do
        kill -0 "$nspawn" 2>/dev/null || break
        init=$(pgrep -P "$nspawn" | head -1 || true)
        if [ -n "$init" ]; then
            state=$(nsenter -t "$init" -a systemctl is-system-running --wait 2>/dev/null || true)
            case $state in running | degraded) _container_init[$name]=$init && return 0 ;; esac
        fi
        sleep 0.2
    done
    fail "systemd-nspawn could not boot container $name (see $log): $(grep -v '^$' "$log" | tail -1)"
}

ct() {
    local name=$1
    shift
    nsenter -t "${_container_init[$name]}" -a "$@"
}

# Boots two containers of the systemd root, each with its own machine id
# and host name, on a veth pair in network namespaces of their own (edge
# 10.78.0.1, central 10.78.0.2, which the edge calls korvi-central); both
# get package $2, from folder $1, which they see as /mnt/ci, and the nspawn
# options that follow. Central takes journals over HTTP, and the edge runs
# the logger and sends its journal there, both configured with the files
# the package ships, as the README installs them.
boot_forwarding() {
    local dir=$1 deb=$2 root host
    shift 2
    root=$(debian_root systemd)
    for host in edge central; do
        ip netns add "korvi-$host"
        at_exit "ip netns delete korvi-$host"
        ip -n "korvi-$host" link set lo up
        # Clones of one root would otherwise share one machine id.
        od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$dir/$host-machine-id"
        echo >>"$dir/$host-machine-id"
    done
    ip link add kv-edge netns korvi-edge type veth peer name kv-central netns korvi-central
    ip -n korvi-edge addr add 10.78.0.1/24 dev kv-edge
    ip -n korvi-central addr add 10.78.0.2/24 dev kv-central
    ip -n korvi-edge link set kv-edge up
    ip -n korvi-central link set kv-central up
    for host in edge central; do
        boot_container "$host" "$root" --network-namespace-path="/run/netns/korvi-$host" \
            --bind-ro="$dir:/mnt/ci" --bind-ro="$dir/$host-machine-id:/etc/machine-id" "$@"
        ct "$host" dpkg -i "/mnt/ci/$(basename "$deb")" >/dev/null
    done
    ct edge bash -c 'echo "10.78.0.2 korvi-central" >>/etc/hosts'
    install_example central remote-http.conf \
        /etc/systemd/system/systemd-journal-remote.service.d/korvi-http.conf
    ct central systemctl daemon-reload
    ct central systemctl start systemd-journal-remote.socket
    install_example edge upload-retry.conf /etc/systemd/system/systemd-journal-upload.service.d/korvi-retry.conf
    install_example edge upload-http.conf /etc/systemd/journal-upload.conf.d/korvi.conf
    ct edge systemctl daemon-reload
    ct edge systemctl start korvi-logger systemd-journal-upload
}

# Installs on container $1 the forwarding example $2 that the package
# ships, as the file $3.
install_example() {
    ct "$1" install -D -m 644 "/usr/share/doc/korvi-logger/examples/forward/$2" "$3"
}

# The numbers of the benchmark sender's lines ("0000123456 xxx...") from $1
# to $1 + $2 - 1 that the text on stdin holds, one a line, in its order.
numbered_lines() {
    awk -v lo="$1" -v hi=$(($1 + $2)) 'length($1) == 10 && $1 ~ /^[0-9]+$/ && $2 ~ /^x/ {
        n = $1 + 0; if (n >= lo && n < hi) print n }'
}

# Runs COMMAND (which prints text, a journal say) until its text holds
# lines $1 to $1 + $2 - 1, or, once some have come, has not grown for 2 s
# (at most 30 s); leaves the numbers it holds, in its order, in the file
# $numbers.
collect_numbers() {
    local first=$1 count=$2 last=-1 still=0 now _
    shift 2
    if [ -z "${numbers:-}" ]; then
        numbers=$(mktemp)
        at_exit "rm -f $numbers"
    fi
    for _ in $(seq 150); do
        "$@" | numbered_lines "$first" "$count" >"$numbers"
        now=$(wc -l <"$numbers")
        [ "$now" -ge "$count" ] && return 0
        if [ "$now" = "$last" ] && [ "$now" -gt 0 ]; then still=$((still + 1)); else still=0; fi
        [ "$still" -lt 10 ] || return 0
        last=$now
        sleep 0.2
    done
}

# Says what is wrong with the numbers in $numbers, against lines $1 to
# $1 + $2 - 1 each once and in order: how many are missing or repeated
# (more than $3 times, 0 if not given), and whether they came out of order.
# Says nothing when all is right.
number_problems() {
    awk -v lo="$1" -v count="$2" -v allowed="${3:-0}" '
        { if (seen[$1]++ == 0) { if ($1 < last) unordered++; last = $1 } }
        END {
            for (n = lo; n < lo + count; n++) {
                if (!(n in seen)) { missing++; if (!first_missing) first_missing = n }
                else if (seen[n] > 1) repeated += seen[n] - 1
            }
            if (missing) printf "%d of %d missing (the first: %d); ", missing, count, first_missing
            if (repeated > allowed) printf "%d repeated; ", repeated
            if (unordered) printf "%d out of order; ", unordered
        }' "$numbers"
}
