# The names under which the tool is installed, and the check that the tool
# would accept each of them (the same rule as src/tool/program_name.cpp).

set(TAL_SETCONF_SPECIAL_SECTIONS global vrf1 vrf2 vrf3 vrf mpls pim_sm)

# Every key of the special sections, as the catalogue has them.
set(_tal_special_keys
  MOD_TAL_GLOBAL_ENABLED MOD_TAL_GLOBAL_LOG_LEVEL
  MOD_TAL_VRF1_ENABLED MOD_TAL_VRF1_NAME MOD_TAL_VRF1_IF
  MOD_TAL_VRF2_ENABLED MOD_TAL_VRF2_NAME MOD_TAL_VRF2_IF
  MOD_TAL_VRF3_ENABLED MOD_TAL_VRF3_NAME MOD_TAL_VRF3_IF
  MOD_TAL_VRF_ENABLED MOD_TAL_VRF_L3MDEV_ACCESS
  MOD_TAL_MPLS_ENABLED MOD_TAL_MPLS_ETH0_ENABLED MOD_TAL_MPLS_PLATFORM_LABELS
  MOD_TAL_PIM_SM_ENABLED MOD_TAL_PIM_SM_RP_ADDR MOD_TAL_PIM_SM_IFACE0_ENABLED
  MOD_TAL_PIM_SM_CONF)

function(tal_check_section_name name)
  string(LENGTH "${name}" length)
  if(NOT name MATCHES "^[a-z0-9_]+$" OR length GREATER 64)
    message(FATAL_ERROR "TAL_SETCONF_SECTIONS: '${name}' must be 1 to 64 of a-z, 0-9, _")
  endif()
  if(name IN_LIST TAL_SETCONF_SPECIAL_SECTIONS)
    message(FATAL_ERROR "TAL_SETCONF_SECTIONS: '${name}' is a special section, whose link is "
                        "always installed; list only generic sections (ospf, bgp, ...)")
  endif()
  foreach(special IN LISTS TAL_SETCONF_SPECIAL_SECTIONS)
    string(FIND "${name}" "${special}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "TAL_SETCONF_SECTIONS: '${name}' contains '${special}' without being it")
    endif()
  endforeach()
  string(FIND "${name}" "_" underscore)
  if(NOT underscore EQUAL -1)
    message(FATAL_ERROR "TAL_SETCONF_SECTIONS: generic section '${name}' may not hold '_'")
  endif()
  string(TOUPPER "${name}" infix)
  foreach(key IN LISTS _tal_special_keys)
    string(FIND "${key}" "MOD_TAL_${infix}_" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "TAL_SETCONF_SECTIONS: '${name}' would match ${key} of another section")
    endif()
  endforeach()
endfunction()

set(TAL_SETCONF_SECTIONS "" CACHE STRING "Generic sections to install links for, e.g. ospf;bgp")
foreach(section IN LISTS TAL_SETCONF_SECTIONS)
  tal_check_section_name("${section}")
endforeach()
