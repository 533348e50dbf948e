# Run by cpack as the package's last install step: writes SHA256SUMS, the
# SHA-256 of every other file of the package, one "HASH *path" line each
# (the format of sha256sum -c; certutil -hashfile FILE SHA256 on Windows
# prints the same hash), sorted by path, with Windows line ends.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(file IN LISTS files)
  file(SHA256 ${root}/${file} hash)
  string(APPEND sums "${hash} *${file}\r\n")
endforeach()
file(WRITE ${root}/SHA256SUMS "${sums}")
