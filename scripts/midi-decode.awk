# Decodes raw MIDI bytes, as `od -An -tx1 -v` prints them, into one short message a line
# ("90 09 7F"). Running status is expanded (the kernel writes a release right after its
# note-on as two data bytes only); system exclusive data is skipped; real-time bytes
# (F8..FF) stand on a line of their own wherever they come.
function len(s) {
  if (s < 128) return -1
  if (s >= 248) return 0
  if (s == 241 || s == 243) return 1
  if (s == 242) return 2
  if (s >= 240) return 0
  if (s >= 192 && s < 224) return 1
  return 2
}
function hex(v) { return sprintf("%02X", v) }
BEGIN { status = -1 }
{
  for (i = 1; i <= NF; i++) {
    b = 0
    for (j = 1; j <= length($i); j++) b = b * 16 + index("0123456789abcdef", tolower(substr($i, j, 1))) - 1
    if (b >= 248) { print hex(b); continue }
    if (b >= 128) {
      # System common messages (F0..F7) end running status; a sysex's data is skipped.
      status = b == 240 || b == 247 ? -1 : b
      need = len(b); have = 0; msg = hex(b)
      if (need == 0 && status >= 0) { print msg; status = -1 }
      continue
    }
    if (status < 0) continue
    if (have == need) { have = 0; msg = hex(status) }
    msg = msg " " hex(b)
    if (++have == need) {
      print msg
      if (status >= 240) status = -1
    }
  }
}
