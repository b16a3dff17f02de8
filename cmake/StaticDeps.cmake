# Self-contained builds (the wheel): libyaml and pugixml come from their static archives (Debian's
# are position independent) and the C++ runtime is linked in, so the installed extension needs
# neither the -dev packages nor a compiler's runtime. NLopt has no static archive on Debian; the
# wheel bundles its shared object instead (auditwheel).
option(KOVA_STATIC_DEPS "Link libyaml, pugixml and the C++ runtime statically" OFF)
if(KOVA_STATIC_DEPS)
  if(NOT TARGET pugixml::static)
    message(FATAL_ERROR "KOVA_STATIC_DEPS needs pugixml's static archive (libpugixml.a)")
  endif()
  set_target_properties(pugixml::pugixml PROPERTIES INTERFACE_LINK_LIBRARIES pugixml::static)
  find_library(KOVA_YAML_STATIC NAMES libyaml.a HINTS ${YAML_LIBRARY_DIRS})
  if(NOT KOVA_YAML_STATIC)
    message(FATAL_ERROR "KOVA_STATIC_DEPS needs libyaml's static archive (libyaml.a)")
  endif()
  set_target_properties(PkgConfig::YAML PROPERTIES INTERFACE_LINK_LIBRARIES "${KOVA_YAML_STATIC}")
  # The runtime's symbols stay private to the extension. zig's toolchain (the portable wheels)
  # always links its C++ runtime statically and passes neither -static-libstdc++ nor
  # --exclude-libs to its linker; there the extension's version script alone hides them.
  if(NOT KOVA_PORTABLE_TOOLCHAIN)
    add_link_options(-static-libstdc++ -static-libgcc LINKER:--exclude-libs,ALL)
  endif()
endif()
