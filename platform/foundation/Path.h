#pragma once
// Path functions give file-system paths held as std::string the platform's path semantics for
// strings: the last component and the standardized form. They work on the text alone and never
// touch the file system, except that "~" reads the home folder.
//
// What they leave out: resolving symbolic links (a ".." is removed lexically), and the
// platform's "/private" folder, which Linux does not have. Pure and safe from any thread.
#include <string>
#include <string_view>

namespace foundation {

// The text after the last "/" that is not a trailing one: "/a/b" and "/a/b/" give "b", "b" gives
// "b", "/" gives "/", "" gives "".
std::string lastPathComponent(std::string_view path);

// `path` with a leading "~" or "~/" expanded to the home folder, empty and "." components
// removed, in an absolute path each ".." removed with the component before it (none above the
// root), and the trailing "/" dropped: "/usr//lib/./x/../libc.so/" gives "/usr/lib/libc.so".
// In a relative path ".." stays. "" gives "", "/" gives "/".
std::string standardizingPath(std::string_view path);

}  // namespace foundation
