# Checks a screenshot of the status window's client area, given as
# "x y rrggbb" lines, against the design at 96 dpi (15 twips a pixel): the
# plot's black surface inside its 2-pixel edge, the dark green grid every 16
# pixels, "RMS Error" in its corner, a bright green trace, and text in both
# boxes below. Prints "N passed, N failed".
function check(ok, what) {
  if (ok) { ++passed } else { ++failed; print "FAILED: " what }
}
function in_label(x, y) { return x >= 322 && y < 19 }
{ colour[$1, $2] = $3 }
END {
  check(w == 385 && h == 162, "client area is 385x162 pixels, not " w "x" h)
  check(caption_colours >= 2, "the caption bar holds a caption")

  # Inner surface: x 2..382, y 2..142.
  for (k = 0; k <= 23; ++k) {
    x = 2 + 16 * k; on = 0; all = 0
    for (y = 20; y <= 140; ++y) { ++all; if (colour[x, y] == "008000") ++on }
    check(on >= 0.6 * all, "vertical grid line at x=" x " (" on "/" all ")")
  }
  for (k = 1; k <= 8; ++k) {
    y = 2 + 16 * k; on = 0; all = 0
    for (x = 3; x <= 320; ++x) { ++all; if (colour[x, y] == "008000") ++on }
    check(on >= 0.6 * all, "horizontal grid line at y=" y " (" on "/" all ")")
  }
  black = 0; all = 0; trace = 0; label = 0
  for (x = 2; x <= 382; ++x) for (y = 2; y <= 142; ++y) {
    c = colour[x, y]
    if (c == "00FF00") ++trace
    if (in_label(x, y)) { if (c == "00C000") ++label; continue }
    if ((x - 2) % 16 == 0 || ((y - 2) % 16 == 0 && y >= 18 && y <= 130)) continue
    ++all; if (c == "000000") ++black
  }
  check(black >= 0.8 * all, "plot surface is black (" black "/" all ")")
  check(label >= 15, "\"RMS Error\" in the plot's corner (" label " pixels)")
  check(trace >= 30, "a bright green trace (" trace " pixels)")
  check(colour[0, 0] != "000000" && colour[1, 1] != "000000", "plot has its edge")

  ssq = 0; cycle = 0; box_black = 0; box_all = 0
  for (y = 145; y <= 160; ++y) {
    for (x = 1; x <= 190; ++x) { if (colour[x, y] == "00C000") ++ssq; ++box_all; if (colour[x, y] == "000000") ++box_black }
    for (x = 194; x <= 383; ++x) {
      if (colour[x, y] == "00C000") { ++cycle; if (x > cycle_right) cycle_right = x }
      ++box_all; if (colour[x, y] == "000000") ++box_black
    }
  }
  check(ssq >= 30, "text in SSQBox (" ssq " pixels)")
  check(cycle >= 30, "text in CycleBox (" cycle " pixels)")
  # " Training Complete", set as the run returns, runs well past where
  # " Cycle 600" ends (x=242 in Wine's stand-in for MS Sans Serif).
  check(cycle_right > 260, "CycleBox shows the completion text (text ends at x=" cycle_right ")")
  check(box_black >= 0.6 * box_all, "boxes are black (" box_black "/" box_all ")")

  print passed + 0 " passed, " failed + 0 " failed"
  exit failed > 0
}
