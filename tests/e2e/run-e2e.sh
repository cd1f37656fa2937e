#!/usr/bin/env bash
# run-e2e.sh MODULE[.Class[.test]]: runs one end-to-end test module in a Wine prefix of its own, so that
# modules running side by side never share a registry key or kill each other's processes.
# A module whose name ends in "_netns", or that holds the line "E2E_NETNS = True", runs in a
# network namespace of its own (loopback only, the service host mapped to 127.0.0.1), with
# the whole Wine prefix started inside it: it may use port 80 without meeting another
# module, and nothing it sends can leave the machine.
set -u
module=$1
file=${module%%.*}
base=${WINEPREFIX:-/tmp/wexa-wine}
export WINEPREFIX=$(mktemp -d "${base%/}-$module.XXXXXX")
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WEXA_SERVICE_HOST=${WEXA_SERVICE_HOST:-service.wexa-share.test}
netns_prefix=wexa-e2e-
netns=""
inside=()

remove_netns() {
  local ns=$1 pids
  # Whatever still runs in the namespace was started by this run.
  pids=$(ip netns pids "$ns" 2>/dev/null)
  [ -n "$pids" ] && kill -9 $pids 2>/dev/null
  ip netns del "$ns" 2>/dev/null
  rm -rf "/etc/netns/$ns"
}

cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null
  /usr/lib/wine/wineserver -w 2>/dev/null
  [ -n "$netns" ] && remove_netns "$netns"
  rm -rf "$WINEPREFIX" "$WINEPREFIX.resolv.conf"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

if [[ $file == *_netns ]] || grep -qx 'E2E_NETNS = True' "$file.py" 2>/dev/null; then
  # A run that was killed before its clean-up left its namespace behind: its name carries the
  # id of the shell that made it, so only namespaces of runs that are gone are removed.
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^$netns_prefix"); do
    owner=${ns#$netns_prefix}; owner=${owner%%-*}
    kill -0 "$owner" 2>/dev/null || remove_netns "$ns"
  done
  netns=$netns_prefix$$-${file:0:24}
  if ! ip netns add "$netns"; then
    netns=""
    echo "run-e2e: cannot create a network namespace (root and iproute2 are needed)" >&2
    exit 1
  fi
  ip netns exec "$netns" ip link set lo up || exit 1
  # `ip netns exec` mounts these files over /etc/hosts inside the namespace.
  mkdir -p "/etc/netns/$netns"
  printf '127.0.0.1 localhost\n::1 localhost\n127.0.0.1 %s\n' "$WEXA_SERVICE_HOST" >"/etc/netns/$netns/hosts"
  printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"/etc/netns/$netns/resolv.conf"
  export WEXA_NETNS=$netns
  inside=(ip netns exec "$netns")
elif [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
  # Elsewhere a name missing from /etc/hosts (the service host among them) fails at once
  # instead of being asked of the system's name server: a private mount of resolv.conf.
  resolv=$WINEPREFIX.resolv.conf
  printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"$resolv"
  if unshare -m sh -c 'mount --bind "$0" /etc/resolv.conf' "$resolv" 2>/dev/null; then
    inside=(unshare -m sh -c 'mount --bind "$0" /etc/resolv.conf && exec "$@"' "$resolv")
  fi
fi

# wineboot starts the prefix's wineserver, which makes every socket of the prefix: it has to
# start inside the namespace for the programs' sockets to be there.
"${inside[@]}" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
"${inside[@]}" python3 -W ignore::ResourceWarning -m unittest -v "$module"
