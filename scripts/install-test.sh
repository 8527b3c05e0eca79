#!/usr/bin/env bash
# Installs the built packages on a clean Debian 12 root as a user of a fresh
# machine would (apt-get install ./quarn_*.deb), uses the installed program
# (--version, one conversion of each sample of examples/, the batch mode, a
# plug-in and a program embedding libquarn built with quarn-dev, the window
# on a virtual display), then
# removes the packages and checks that nothing of them is left:
#   scripts/install-test.sh [DEBDIR]        (default: build-deb/), as root
# The root is made with debootstrap once and kept as a tarball in the cache
# folder ($QUARN_CI_CACHE, default /var/cache/quarn-ci, renewed after 30
# days) with the packages apt downloads; every run unpacks a fresh copy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
debs=$(cd "${1:-$root/build-deb}" && pwd)
cache=${QUARN_CI_CACHE:-/var/cache/quarn-ci}
mirror=${QUARN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
# The clean root: debootstrap's minimal base with what every Debian 12
# machine has besides (its init, systemd, and the network files), and the
# tools of the test itself (a virtual display and the programs that look at
# its windows).
tools=systemd-sysv,netbase,xvfb,xauth,x11-utils
user=tester

[[ $(id -u) == 0 ]] || { echo "install-test: needs root (debootstrap, chroot)" >&2; exit 1; }
quarn_deb=$(ls "$debs"/quarn_*.deb)
dev_deb=$(ls "$debs"/quarn-dev_*.deb)
version=$(dpkg-deb -f "$quarn_deb" Version)

# Made once, with one user besides root.
mkdir -p "$cache/debootstrap" "$cache/archives/partial"
base=$cache/bookworm-minbase-$(echo "$tools" | md5sum | cut -c1-8).tar
if [[ ! -f $base || -n $(find "$base" -mtime +30) ]]; then
  echo "== debootstrap (cached in $cache)"
  start=$SECONDS
  fresh=$(mktemp -d /var/tmp/quarn-base.XXXXXX)
  debootstrap --variant=minbase --include="$tools" --cache-dir="$cache/debootstrap" \
    bookworm "$fresh" "$mirror" > "$cache/debootstrap.log" 2>&1 ||
    { tail -n 30 "$cache/debootstrap.log"; rm -rf --one-file-system "$fresh"; exit 1; }
  cat > "$fresh/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
EOF
  chroot "$fresh" /usr/sbin/useradd --create-home --shell /bin/sh "$user"
  chroot "$fresh" /usr/bin/apt-get clean
  tar --numeric-owner -C "$fresh" -cf "$base.new" . && mv "$base.new" "$base"
  # Roots made for another list of tools are not used again.
  find "$cache" -maxdepth 1 -name 'bookworm-minbase-*.tar' ! -path "$base" -delete
  rm -rf --one-file-system "$fresh"
  echo "root made in $((SECONDS - start)) s"
fi

work=$(mktemp -d /var/tmp/quarn-root.XXXXXX)
mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true; done
  # Never delete through a mount that is still there (the package cache).
  if grep -q " $work/" /proc/mounts; then
    echo "install-test: $work still has mounts; left in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT
mount_in() { # mount_in TARGET mount-arguments...
  local target=$work$1
  shift
  mount "$@" "$target"
  mounts+=("$target")
}
tar --numeric-owner -C "$work" -xf "$base"
chmod 755 "$work"  # the root folder, which mktemp made private
# dpkg need not wait for the disk in a root that lives for one run.
echo force-unsafe-io > "$work/etc/dpkg/dpkg.cfg.d/quarn-ci-unsafe-io"
cp /etc/resolv.conf "$work/etc/resolv.conf"
mount_in /proc -t proc proc
mount_in /dev/shm -t tmpfs -o mode=1777 shm
mount_in /var/cache/apt/archives --bind "$cache/archives"
# Commands on the root see its own environment only, never this machine's.
in_root() {
  chroot "$work" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
as_user() {
  chroot --userspec="$user:$user" "$work" env -i PATH=/usr/bin:/bin HOME="/home/$user" USER="$user" \
    LC_ALL=C.UTF-8 "$@"
}
fail() { echo "FAIL: $*" >&2; exit 1; }

# Everything on the root but what apt, dpkg, logs, users and caches keep.
snapshot() {
  (cd "$work" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./sys -o -path ./tmp -o -path ./run \
    -o -path ./home -o -path ./root -o -path ./var/cache -o -path ./var/lib/apt -o -path ./var/lib/dpkg \
    -o -path ./var/log -o -path ./etc/ld.so.cache \) -prune -o -print | LC_ALL=C sort)
}

echo "== install ($version) in a clean Debian 12 root"
start=$SECONDS
in_root apt-get update -qq
snapshot > "$work/tmp/before.list"
packages() { in_root dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | LC_ALL=C sort; }
packages > "$work/tmp/packages-before.list"
install -d -m 755 "$work/tmp/debs"
install -m 644 "$quarn_deb" "$dev_deb" "$work/tmp/debs/"
in_root sh -c "cd /tmp/debs && apt-get install -y -q ./$(basename "$quarn_deb") ./$(basename "$dev_deb")" \
  > "$debs/install.log" 2>&1 || { tail -n 30 "$debs/install.log"; fail "apt-get install"; }
echo "installed with $(grep -cE '^(Setting up|Unpacking) ' "$debs/install.log" || true) dpkg steps in $((SECONDS - start)) s"
in_root dpkg-query -L quarn quarn-dev | LC_ALL=C sort -u > "$work/tmp/quarn-files.list"

echo "== use"
reported=$(as_user quarn --version)
[[ $reported == "Velmor Quarn version $version" ]] || fail "quarn --version says \"$reported\""
echo "$reported"
as_user quarn --list-extensions | grep -qx pdf || fail "quarn --list-extensions lacks pdf"
[[ -s $work/usr/share/man/man1/quarn.1.gz ]] || fail "no manual page"
for f in usr/share/bash-completion/completions/quarn usr/share/zsh/vendor-completions/_quarn \
  usr/share/fish/vendor_completions.d/quarn.fish usr/share/applications/quarn.desktop; do
  [[ -s $work/$f ]] || fail "no /$f"
done

# One conversion of each sample, beside it, as the user.
home=$work/home/$user
cp -r "$root/examples" "$home/examples"
in_root chown -R "$user:$user" "/home/$user/examples"
converted=0
for sample in "$root"/examples/*; do
  name=$(basename "$sample")
  txt=${name%.*}.txt
  as_user quarn "/home/$user/examples/$name" || fail "quarn $name: exit status $?"
  [[ -s $home/examples/$txt ]] || fail "quarn $name wrote no text"
  converted=$((converted + 1))
done
echo "$converted samples of examples/ converted"

# The formats examples/ has no sample of, made here from text with this
# machine's tools (a picture for OCR, archives, a calendar, an address book,
# a mailbox, a web archive) or taken from the test data and, when it is
# there, the corpus of real documents: each must give text with its word.
more=$home/more
mkdir -p "$more"
printf 'Quarterly harbour report\nThe ferry timetable changes in November.\n' > "$more/report.txt"
convert -density 300 -units PixelsPerInch -background white -fill black \
  -font /usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf -pointsize 12 -size 2100x \
  caption:"$(head -n 2 "$root/tests/data/image/english-1.txt")" -bordercolor white -border 225 \
  -colorspace Gray -depth 8 "$more/scan.png"
(cd "$more" && python3 -c 'import sys, zipfile
with zipfile.ZipFile("docs.zip", "w", zipfile.ZIP_DEFLATED) as z: z.write("report.txt")' &&
  tar -czf docs.tar.gz report.txt && gzip -c report.txt > single.txt.gz)
rm "$more/report.txt"
cat > "$more/meeting.ics" <<'ICS'
BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Velmor//Quarn install test//EN
BEGIN:VEVENT
UID:harbour-1@velmor.example
DTSTAMP:20260101T090000Z
DTSTART:20260105T100000Z
DTEND:20260105T110000Z
SUMMARY:Harbour committee
LOCATION:Northern pier
END:VEVENT
END:VCALENDAR
ICS
cat > "$more/card.vcf" <<'VCF'
BEGIN:VCARD
VERSION:3.0
FN:Ada Ferryman
ORG:Harbour Office
EMAIL:ada@velmor.example
END:VCARD
VCF
cat > "$more/inbox.mbox" <<'MBOX'
From ada@velmor.example Mon Jan  5 10:00:00 2026
From: Ada <ada@velmor.example>
To: Bo <bo@velmor.example>
Subject: Timetable
Date: Mon, 05 Jan 2026 10:00:00 +0000

The winter timetable starts on Monday.

MBOX
cat > "$more/page.mht" <<'MHT'
From: <Saved by a browser>
Subject: Harbour
MIME-Version: 1.0
Content-Type: multipart/related; boundary="b1"; type="text/html"

--b1
Content-Type: text/html; charset="utf-8"
Content-Location: http://velmor.example/harbour.html

<html><head><title>Harbour</title></head><body><p>Lighthouse opening hours</p></body></html>
--b1--
MHT
cp "$root/tests/data/chm/sample.chm" "$more/help.chm"
cp "$root/tests/data/postscript/timetable.ps" "$more/timetable.ps"
cp "$root/tests/data/ebook/kindle.azw3" "$more/kindle.azw3"
cp "$root/tests/data/webarchive/page.webarchive" "$more/page.webarchive"
cp "$root/tests/data/access/contacts.mdb" "$more/contacts.mdb"
cp "$root/tests/data/dbase/clients.dbf" "$root/tests/data/dbase/clients.dbt" "$more/"
/usr/bin/python3 -c 'import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); db.execute("CREATE TABLE notes (body TEXT)"); db.execute("INSERT INTO notes VALUES (?)", ("Harbour master on duty",)); db.commit()' "$more/notes.db"
expect=(scan.png ferry docs.zip November docs.tar.gz November single.txt.gz November
  meeting.ics committee card.vcf Ferryman inbox.mbox winter page.mht Lighthouse help.chm Alpha
  timetable.ps "winter quarter" kindle.azw3 Harbour page.webarchive "Tide table" contacts.mdb "Olivier Dubois"
  clients.dbf "Call before noon" notes.db "Harbour master")
# One real Outlook message and TNEF stream, when the corpus is there.
corpus=${QUARN_CORPUS:-$root/../shared/corpus}
for family in msg tnef; do
  real=$(find "$corpus/inputs/$family" -path '*/_*' -prune -o -type f -print 2>/dev/null | LC_ALL=C sort | head -n 1)
  if [[ -n $real ]]; then
    cp "$real" "$more/real.${real##*.}"
    expect+=("real.${real##*.}" .)
  fi
done
in_root chown -R "$user:$user" "/home/$user/more"
for ((i = 0; i < ${#expect[@]}; i += 2)); do
  name=${expect[i]}
  as_user quarn "/home/$user/more/$name" "/home/$user/more/$name.txt" || fail "quarn $name: exit status $?"
  grep -qi -- "${expect[i + 1]}" "$more/$name.txt" || fail "quarn $name: no \"${expect[i + 1]}\" in its text"
done
echo "$((${#expect[@]} / 2)) more formats converted: $(for ((i = 0; i < ${#expect[@]}; i += 2)); do printf "%s " "${expect[i]#*.}"; done)"
rm -f "$home"/examples/*.txt
as_user quarn --batch "/home/$user/examples" 2>/dev/null || fail "quarn --batch: exit status $?"
[[ $(ls "$home"/examples/*.txt | wc -l) == "$converted" ]] || fail "quarn --batch did not write every text"
echo "--batch converted the folder"

# The example plug-in, built outside the source tree with quarn-dev's files
# only, then registered for the user.
if command -v cc >/dev/null && command -v make >/dev/null && command -v pkg-config >/dev/null; then
  sdk=$work/tmp/sdk
  dpkg-deb -x "$dev_deb" "$sdk"
  cp -r "$sdk"/usr/share/doc/quarn-dev/examples/fortune "$work/tmp/fortune"
  PKG_CONFIG_PATH=$(dirname "$(find "$sdk" -name quarn-plugin.pc)") PKG_CONFIG_SYSROOT_DIR=$sdk \
    make -s -C "$work/tmp/fortune" > "$debs/plugin.log" 2>&1 || { cat "$debs/plugin.log"; fail "the example plug-in does not build"; }
  registry=$home/.local/share/quarn/registry
  mkdir -p "$registry"
  cp "$work/tmp/fortune/libquarn_fortune.so" "$work/tmp/fortune/fortune.reg" "$registry/"
  printf 'First cookie.\n%%\nSecond cookie.\n' > "$home/cookies.fortune"
  in_root chown -R "$user:$user" "/home/$user/.local" "/home/$user/cookies.fortune"
  as_user env XDG_DATA_DIRS="/home/$user/.local/share:/usr/share" quarn "/home/$user/cookies.fortune" ||
    fail "the example plug-in: exit status $?"
  grep -q "Second cookie" "$home/cookies.txt" || fail "the example plug-in gave no text"
  echo "the example plug-in built with quarn-dev converts"
  # A program that embeds Quarn: libquarn's example, built with quarn-dev's
  # header against the installed library, converts as the user.
  public=$(dirname "$(find "$work/usr/lib" -name libquarn.so.1 | head -n 1)")
  cc -std=c99 -I"$sdk/usr/include" "$sdk/usr/share/doc/quarn-dev/examples/libquarn/example.c" \
    -L"$public" -l:libquarn.so.1 -Wl,-rpath-link,"$public/quarn" -o "$work/tmp/embed" > "$debs/embed.log" 2>&1 ||
    { cat "$debs/embed.log"; fail "the libquarn example does not build"; }
  chmod 755 "$work/tmp/embed"
  printf '{\\rtf1 Embedded words\\par}' > "$home/embedded.rtf"
  in_root chown "$user:$user" "/home/$user/embedded.rtf"
  as_user /tmp/embed "/home/$user/embedded.rtf" || fail "the libquarn example: exit status $?"
  grep -q "Embedded words" "$home/embedded.txt" || fail "the libquarn example wrote no text"
  echo "the libquarn example built with quarn-dev converts"
else
  echo "note: no compiler here, the example plug-in is not built"
fi

# The window, on a virtual display: it must appear, then end on a close.
cat > "$work/tmp/window.sh" <<'EOF'
# A loaded machine may take a while before the display takes connections.
for _ in $(seq 300); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
quarn & pid=$!
for _ in $(seq 150); do xwininfo -name Quarn >/dev/null 2>&1 && break; sleep 0.1; done
if ! xwininfo -name Quarn >/dev/null 2>&1; then kill $pid; echo "no window titled Quarn"; exit 1; fi
xwininfo -name Quarn | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'
kill -TERM $pid
wait $pid 2>/dev/null
exit 0
EOF
# The root shares this machine's abstract sockets, so the display number
# must be free here too, not only in the root; a display another program
# takes meanwhile, or one that never takes connections, gets another try
# on the next number.
display=200
opened=0
for _ in 1 2 3; do
  while grep -q "/tmp/.X11-unix/X$display\$" /proc/net/unix || [[ -e /tmp/.X$display-lock ]]; do display=$((display + 1)); done
  if as_user xvfb-run -n "$display" -s "-screen 0 480x360x24 -nolisten tcp" sh /tmp/window.sh > "$debs/window.log" 2>&1; then
    opened=1
    break
  fi
  display=$((display + 1))
done
((opened)) || { cat "$debs/window.log"; fail "the window"; }
echo "the window opened, $(tail -n 1 "$debs/window.log") pixels"

echo "== remove"
start=$SECONDS
# Everything apt installed for the packages goes too: what only satisfies a
# recommendation of the root's own packages (apt keeps that by default) was
# still brought in by them.
in_root apt-get purge -y -q --autoremove -o APT::AutoRemove::RecommendsImportant=false \
  -o APT::AutoRemove::SuggestsImportant=false quarn quarn-dev > "$debs/remove.log" 2>&1 ||
  { tail -n 30 "$debs/remove.log"; fail "apt-get purge"; }
# apt's autoremove keeps every installed package that satisfies any
# alternative of a dependency: fonts-urw-base35, which Ghostscript's library
# brings, is one of fontconfig-config's "fonts-dejavu-core | ... |
# fonts-urw-base35", which the root's fonts-dejavu-core satisfies already.
# Packages kept so (installed automatically for ours, needed by nothing but
# such an alternative) are named and purged, as a user would.
kept=()
while IFS= read -r p; do
  [[ $(in_root apt-mark showauto "$p") == "$p" ]] || continue
  needed=0
  while IFS= read -r dependency; do
    # An installed package that needs p: needed unless p stands in an
    # alternative whose other members are installed.
    fields=$(in_root dpkg-query -W -f '${Depends}, ${Pre-Depends}\n' "$dependency" 2>/dev/null |
      tr ',' '\n' | grep -E "(^| )$(sed 's/[.+]/\\&/g' <<<"$p")( |:|$)" || true)
    [[ -n $fields ]] || continue
    while IFS= read -r group; do
      others=$(tr '|' '\n' <<<"$group" | awk '{print $1}' | grep -vx "$p" || true)
      alternative=0
      for o in $others; do grep -qx "$o" "$work/tmp/packages-before.list" && alternative=1; done
      ((alternative)) || needed=1
    done <<<"$fields"
  done < <(in_root apt-cache rdepends --installed "$p" 2>/dev/null | tail -n +3 | tr -d ' |' | sort -u)
  ((needed)) || kept+=("$p")
done < <(comm -13 "$work/tmp/packages-before.list" <(packages))
if ((${#kept[@]})); then
  echo "apt kept ${kept[*]} as alternatives the root satisfies already; purged"
  in_root apt-get purge -y -q --autoremove "${kept[@]}" >> "$debs/remove.log" 2>&1 || fail "apt-get purge ${kept[*]}"
fi
if in_root dpkg-query -W -f '${Package} ${Status}\n' 2>/dev/null | grep -E '^quarn(-dev)? ' | grep -v 'not-installed'; then
  fail "dpkg still knows the packages"
fi
left=$(while IFS= read -r f; do if [[ -e $work$f && ! -d $work$f ]]; then echo "$f"; fi; done < "$work/tmp/quarn-files.list")
[[ -z $left ]] || fail "files of the packages left: $left"
snapshot > "$work/tmp/after.list"
changed=$(diff "$work/tmp/before.list" "$work/tmp/after.list" || true)
[[ -z $changed ]] || fail "the root differs from before the installation in $(grep -c '^[<>]' <<<"$changed") paths:
$(head -n 40 <<<"$changed")"
echo "removed in $((SECONDS - start)) s; nothing of the packages or their dependencies is left"
