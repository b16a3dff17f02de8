# The libraries kova builds on. A missing one stops the configuration with one message that names
# every missing library and the command that installs them on the common systems, instead of the
# first raw find_package error.
find_package(Eigen3 3.3 QUIET NO_MODULE)
find_package(pugixml QUIET)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(NLOPT QUIET IMPORTED_TARGET nlopt)
  pkg_check_modules(YAML QUIET IMPORTED_TARGET yaml-0.1)
endif()

# name | Debian/Ubuntu | Fedora | Homebrew | conda-forge, for each library not found
set(kova_missing "")
macro(kova_require found name debian fedora brew conda)
  if(NOT ${found})
    list(APPEND kova_missing "${name}")
    list(APPEND kova_debian ${debian})
    list(APPEND kova_fedora ${fedora})
    list(APPEND kova_brew ${brew})
    list(APPEND kova_conda ${conda})
  endif()
endmacro()
kova_require(PKG_CONFIG_FOUND "pkg-config" pkg-config pkgconf-pkg-config pkgconf pkg-config)
kova_require(Eigen3_FOUND "Eigen 3" libeigen3-dev eigen3-devel eigen eigen)
kova_require(pugixml_FOUND "pugixml" libpugixml-dev pugixml-devel pugixml pugixml)
if(PKG_CONFIG_FOUND)
  kova_require(NLOPT_FOUND "NLopt" libnlopt-dev NLopt-devel nlopt nlopt)
  kova_require(YAML_FOUND "libyaml" libyaml-dev libyaml-devel libyaml yaml)
else()  # without pkg-config their presence cannot be told: name them too
  kova_require(NLOPT_FOUND "NLopt (not checked without pkg-config)" libnlopt-dev NLopt-devel nlopt nlopt)
  kova_require(YAML_FOUND "libyaml (not checked without pkg-config)" libyaml-dev libyaml-devel libyaml yaml)
endif()

if(kova_missing)
  list(JOIN kova_missing ", " missing)
  list(JOIN kova_debian " " debian)
  list(JOIN kova_fedora " " fedora)
  list(JOIN kova_brew " " brew)
  list(JOIN kova_conda " " conda)
  message(FATAL_ERROR
    "kova needs these libraries with their development files, which were not found: ${missing}.\n"
    "Install them with one of:\n"
    "  Debian/Ubuntu: sudo apt-get install ${debian}\n"
    "  Fedora:        sudo dnf install ${fedora}\n"
    "  Homebrew:      brew install ${brew}\n"
    "  conda:         conda install -c conda-forge ${conda}\n"
    "then build again (or, with pip, install a prebuilt wheel: it needs none of them).")
endif()
