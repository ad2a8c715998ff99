#!/bin/sh
# What a user would script instead of the tool: keep the section's other
# lines, drop them from the file, append them and the new text in base64,
# replace the file and hash it. (It skips what the tool does besides: no
# lock, no checks of /tmp, no fixed key order, no sync before the rename.)
# usage: shell_equivalent.sh INFIX TEXT_FILE
set -eu
infix=$1
settings=/opt/tal/etc/settings
copy=/tmp/settings.module.tal
cp "$settings" "$copy"
{
  grep -v -e '^$' "$copy" | grep "^MOD_TAL_${infix}_" | grep -v "^MOD_TAL_${infix}_CONF=" || true
} > /tmp/section.block
{
  sed -e "/=/{/MOD_TAL_${infix}_/d}" "$copy"
  cat /tmp/section.block
  printf 'MOD_TAL_%s_CONF=%s\n' "$infix" "$(base64 -w0 < "$2")"
} > "$settings.new"
mv "$settings.new" "$settings"
[ -e /sbin/hash_generate ] && /sbin/hash_generate "$settings"
rm -f "$copy" /tmp/section.block
