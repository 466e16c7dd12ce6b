// What makes the flame graph of svg.cc interactive: its style sheet and its
// script, both written into the file whole, so that the picture needs
// nothing from anywhere else.
//
// The script reads the frames the renderer drew and what it wrote about
// them (the contract between the two):
//   - the root <svg> has a viewBox for viewers without a script, which the
//     script removes to make the picture as wide as the window;
//   - every graph is an <svg class="graph" data-total="NS"> whose direct
//     children are the frames, NS the time its full width stands for;
//   - a frame is <g><title>TIP</title><rect x="X%" y="Y" width="W%"/>
//     [<text x="X%" dx="PAD" y="..">LABEL</text>]</g>, X and W percentages
//     of its graph, Y its row times ROW; TIP's first line is the frame's
//     label, its second its file:line unless that line starts with
//     "total " (a frame without a file);
//   - #controls holds the search box (#search), #reset and #matched and
//     stays hidden until the script shows it; #details is the line that
//     shows the frame under the pointer.
// ROW, PAD, BASELINE and MIN_CHARS are defined by the renderer ahead of
// the script.
#pragma once

namespace morvex::reader {

extern const char kSvgStyle[];
extern const char kSvgScript[];

}  // namespace morvex::reader
