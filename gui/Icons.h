#pragma once
// The program's pictures: our SVG drawings compiled into the program, named as the
// image list names them ("icons/3.svg" is the resource ":/icons/3.svg").

#include <QIcon>
#include <string>

namespace portvale {

// An SVG icon renders afresh for each size and pixel ratio, so it stays crisp on a
// scaled screen.
QIcon IconFor(const std::string& resource);

}  // namespace portvale
