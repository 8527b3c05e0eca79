#!/usr/bin/env bash
# Installs every Debian package that Quarn's build and tests need (run as root).
# With --bench it also installs the peer tools the benchmarks compare against.
# Safe to run again: packages already present are not fetched twice.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config file
  libmupdf-dev libmujs-dev libgumbo-dev libjbig2dec0-dev libopenjp2-7-dev libfreetype-dev zlib1g-dev
  libzip-dev libxml2-dev libuchardet-dev libicu-dev
  libgsf-1-dev libgcrypt20-dev libgmime-3.0-dev libseccomp-dev
  libarchive-dev libbrotli-dev libpst-dev libytnef0-dev libchm-dev libical-dev
  librevenge-dev libwpd-dev libwpg-dev libwps-dev libmwaw-dev libetonyek-dev libvisio-dev libmspub-dev
  libstaroffice-dev libcdr-dev libqxp-dev libzmf-dev libfreehand-dev libpagemaker-dev libabw-dev libe-book-dev
  liblangtag-dev libdjvulibre-dev
  qt6-base-dev libjpeg62-turbo-dev
  libgtest-dev libgmock-dev
  libtesseract-dev libleptonica-dev libpng-dev libheif-dev libssl-dev libgs-dev libplist-dev mdbtools-dev libshp-dev libsqlite3-dev pxlib-dev tesseract-ocr-eng tesseract-ocr-osd tesseract-ocr-deu
  xvfb xauth x11-apps x11-utils libx11-dev imagemagick fonts-dejavu-core fonts-urw-base35 img2pdf poppler-utils
  # a German locale made by the tests (localedef) to show texts do not change with it
  locales
  # the manual page, the completions, the desktop data and their tests
  scdoc groff-base shared-mime-info desktop-file-utils appstream bash-completion zsh fish
  # the cluster script's test (contrib/dask): a real scheduler and workers
  python3-distributed
  # the Debian packages and their installation test (scripts/package.sh, install-test.sh)
  debhelper dpkg-dev fakeroot lintian debootstrap libbrotli-dev
)
bench_packages=(
  poppler-utils mupdf-tools html2text pandoc unrtf antiword catdoc time
  libreoffice-core-nogui libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui
  hyperfine r-doc-pdf bc libarchive-tools libemail-outlook-message-perl libemail-address-perl ocrmypdf tesseract-ocr
  libwpd-tools libwps-tools libetonyek-tools libvisio-tools libmspub-tools libstaroffice-tools
  libreoffice-draw-nogui djvulibre-bin
)
if [[ "${1:-}" == "--bench" ]]; then packages+=("${bench_packages[@]}"); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  echo "setup: every package is installed"
  exit 0
fi
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "setup: installed ${missing[*]}"
