# Wayland protocol bindings, generated at build time by wayland-scanner.
#   velmora_wayland_protocol(<target> <client|server> <protocol.xml>)
# adds <name>-protocol.c to the target and puts <name>-{client,server}-protocol.h on its
# include path, <name> being the XML file's name without its extension.
# Each target gets copies of its own: a generated source shared between targets of different
# directories has no rule in all of them, and a program may not link two copies of one interface.
enable_language(C)
find_package(PkgConfig REQUIRED)
pkg_get_variable(VELMORA_WAYLAND_SCANNER wayland-scanner wayland_scanner)
if(NOT VELMORA_WAYLAND_SCANNER)
  find_program(VELMORA_WAYLAND_SCANNER wayland-scanner REQUIRED)
endif()

# KDE's protocols, as Debian's plasma-wayland-protocols installs them.
find_path(VELMORA_PLASMA_PROTOCOLS_DIR kde-output-device-v2.xml
  PATHS /usr/share/plasma-wayland-protocols REQUIRED NO_CMAKE_FIND_ROOT_PATH)

function(velmora_wayland_protocol target side xml)
  if(NOT side MATCHES "^(client|server)$")
    message(FATAL_ERROR "velmora_wayland_protocol: side must be client or server, not ${side}")
  endif()
  get_filename_component(name "${xml}" NAME_WE)
  if(NOT IS_ABSOLUTE "${xml}")
    set(xml "${CMAKE_CURRENT_SOURCE_DIR}/${xml}")
  endif()
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}-wayland-protocols")
  set(header "${dir}/${name}-${side}-protocol.h")
  set(code "${dir}/${name}-protocol.c")
  add_custom_command(OUTPUT "${header}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND ${VELMORA_WAYLAND_SCANNER} ${side}-header "${xml}" "${header}"
    DEPENDS "${xml}" VERBATIM)
  add_custom_command(OUTPUT "${code}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND ${VELMORA_WAYLAND_SCANNER} private-code "${xml}" "${code}"
    DEPENDS "${xml}" VERBATIM)
  target_sources(${target} PRIVATE "${header}" "${code}")
  target_include_directories(${target} PRIVATE "${dir}")
endfunction()
