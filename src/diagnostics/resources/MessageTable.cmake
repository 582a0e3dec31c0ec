# The message table of korvlog.exe, and the generator of its two forms:
#   MessageTable.rc              the resource for windres (type 11, RT_MESSAGETABLE; name 1;
#                                language 1033), its bytes written inline
#   MessageTableResource.h       the same bytes for the tests and tools of the Linux build
#   MessageIds.h                 the identifiers the program writes, as C++ constants
#
# Run as: cmake -DOUTPUT_DIR=<dir> -P MessageTable.cmake
#
# The resource follows the platform's message-table layout: a DWORD block count; per block the
# DWORDs low identifier, high identifier and offset of its first entry; then the entries, each
# a WORD length (header included), a WORD of flags (0 = ANSI) and the text padded with zero
# bytes to a multiple of four, with at least one zero. mc.exe-style compilers write the same
# layout, but windmc ends lines with LF alone, so the table is written here.

# Every message, in ascending order of identifier (compared as unsigned numbers), each with the
# name of its C++ constant ("-" for one the program does not write) and its text. Each block
# holds one identifier. The service writes every record with exactly one insertion string: the
# messages of the records the program has always written show that string and nothing else;
# each later one names its meaning on a line of its own first, for whoever reads the identifier
# without the string (an event forwarder, a monitoring rule). An identifier keeps its meaning
# and its text for good.
set(_plain "%1\r\n")
set(MESSAGES
  0x00002001 -                      "${_plain}"  # success, facility 0: not reported
  0x40002000 -                      "${_plain}"  # informational, facility 0: not reported
  0x40002002 c_dwMsgServiceInfo     "${_plain}"  # informational: the host's time was sent to a controller
  0x40002011 c_dwMsgQueryRestored   "Event query registered again:\r\n%1\r\n"
  0x40002013 c_dwMsgWmiRestored     "Connection to WMI restored:\r\n%1\r\n"
  0x40002015 c_dwMsgNoController    "No SCSI controller at start:\r\n%1\r\n"
  0x40002017 c_dwMsgStatus          "Service status:\r\n%1\r\n"
  0x41011000 c_dwMsgRaidInfo        "${_plain}"  # informational, facility 0x101: controller message of level 20
  0x80002003 -                      "${_plain}"  # warning, facility 0: not reported
  0x80002010 c_dwMsgQueryLost       "Event query not registered:\r\n%1\r\n"
  0x80002012 c_dwMsgWmiLost         "Connection to WMI lost:\r\n%1\r\n"
  0x80002014 c_dwMsgRecordsLost     "Records refused by the event log:\r\n%1\r\n"
  0x80002016 c_dwMsgStopIncomplete  "Stop not completed in time:\r\n%1\r\n"
  0x81011001 c_dwMsgRaidWarning     "${_plain}"  # warning, facility 0x101: controller message of level 30
  0xC0002004 c_dwMsgServiceError    "${_plain}"  # error, facility 0: every other diagnostic of the service
  0xC0002018 c_dwMsgEventLost       "Controller event lost:\r\n%1\r\n"
  0xC1011002 c_dwMsgRaidError       "${_plain}"  # error, facility 0x101: controller message of any other level
)
set(MESSAGE_IDS "")
set(MESSAGE_TEXTS "")
set(MESSAGE_CONSTANTS "")
list(LENGTH MESSAGES message_fields)
math(EXPR last_field "${message_fields} - 1")
foreach(i RANGE 0 ${last_field} 3)
  math(EXPR name_index "${i} + 1")
  math(EXPR text_index "${i} + 2")
  list(GET MESSAGES ${i} id)
  list(GET MESSAGES ${name_index} name)
  list(GET MESSAGES ${text_index} text)
  list(APPEND MESSAGE_IDS ${id})
  list(APPEND MESSAGE_TEXTS "${text}")
  if(NOT name STREQUAL "-")
    string(APPEND MESSAGE_CONSTANTS "const DWORD ${name} = ${id};\n")
  endif()
endforeach()

if(NOT OUTPUT_DIR)
  message(FATAL_ERROR "MessageTable.cmake: OUTPUT_DIR is not set")
endif()

# Appends the four little-endian bytes of a 32-bit number to the list BYTES.
function(append_dword value)
  set(bytes ${BYTES})
  foreach(shift 0 8 16 24)
    math(EXPR b "(${value} >> ${shift}) & 0xFF")
    list(APPEND bytes ${b})
  endforeach()
  set(BYTES ${bytes} PARENT_SCOPE)
endfunction()

# The entry of a text: WORD length (header included), WORD flags 0 (ANSI), its bytes, then one to
# four zeros up to a multiple of four. Sets ENTRY and ENTRY_LENGTH.
function(make_entry text)
  string(HEX "${text}" text_hex)
  string(LENGTH "${text}" text_length)
  math(EXPR padded_length "(${text_length} / 4 + 1) * 4")
  math(EXPR entry_length "4 + ${padded_length}")
  math(EXPR length_lo "${entry_length} & 0xFF")
  math(EXPR length_hi "${entry_length} >> 8")
  set(entry ${length_lo} ${length_hi} 0 0)
  string(REGEX MATCHALL ".." text_pairs "${text_hex}")
  foreach(pair ${text_pairs})
    math(EXPR b "0x${pair}")
    list(APPEND entry ${b})
  endforeach()
  math(EXPR zeros "${padded_length} - ${text_length}")
  foreach(i RANGE 1 ${zeros})
    list(APPEND entry 0)
  endforeach()
  set(ENTRY ${entry} PARENT_SCOPE)
  set(ENTRY_LENGTH ${entry_length} PARENT_SCOPE)
endfunction()

list(LENGTH MESSAGE_IDS block_count)
set(BYTES "")
append_dword(${block_count})
math(EXPR offset "4 + 12 * ${block_count}")
set(previous -1)
set(ENTRIES "")
list(LENGTH MESSAGE_IDS message_count)
math(EXPR last_message "${message_count} - 1")
foreach(i RANGE 0 ${last_message})
  list(GET MESSAGE_IDS ${i} id)
  list(GET MESSAGE_TEXTS ${i} text)
  math(EXPR id_value "${id}")
  if(NOT id_value GREATER previous)
    message(FATAL_ERROR "MessageTable.cmake: identifier ${id} is out of ascending order")
  endif()
  set(previous ${id_value})
  append_dword(${id})
  append_dword(${id})
  append_dword(${offset})
  make_entry("${text}")
  list(APPEND ENTRIES ${ENTRY})
  math(EXPR offset "${offset} + ${ENTRY_LENGTH}")
endforeach()
list(APPEND BYTES ${ENTRIES})
list(LENGTH BYTES byte_count)

# The .rc: raw data of a user-defined resource is written in 16-bit little-endian words.
set(words "")
set(line "")
set(column 0)
math(EXPR last_pair "${byte_count} / 2 - 1")
foreach(i RANGE 0 ${last_pair})
  math(EXPR lo_index "${i} * 2")
  math(EXPR hi_index "${i} * 2 + 1")
  list(GET BYTES ${lo_index} lo)
  list(GET BYTES ${hi_index} hi)
  math(EXPR word "${lo} | (${hi} << 8)" OUTPUT_FORMAT HEXADECIMAL)
  if(i LESS last_pair)
    string(APPEND line "${word}, ")
  else()
    string(APPEND line "${word}")
  endif()
  math(EXPR column "${column} + 1")
  if(column EQUAL 8 OR i EQUAL last_pair)
    string(APPEND words "  ${line}\n")
    set(line "")
    set(column 0)
  endif()
endforeach()

set(rc "// Generated by MessageTable.cmake: the message table of korvlog.exe. Do not edit.\n")
string(APPEND rc "LANGUAGE 0x09, 0x01\n")  # LANG_ENGLISH, SUBLANG_ENGLISH_US: 1033
string(APPEND rc "1 11\nBEGIN\n${words}END\n")

# The header: the same bytes as a constant array.
set(array "")
set(line "")
set(column 0)
math(EXPR last_byte "${byte_count} - 1")
foreach(i RANGE 0 ${last_byte})
  list(GET BYTES ${i} b)
  math(EXPR hex "${b}" OUTPUT_FORMAT HEXADECIMAL)
  string(APPEND line "${hex},")
  math(EXPR column "${column} + 1")
  if(column EQUAL 12 OR i EQUAL last_byte)
    string(APPEND array "    ${line}\n")
    set(line "")
    set(column 0)
  endif()
endforeach()

set(header "// Generated by MessageTable.cmake: the bytes of the message-table resource of korvlog.exe\n")
string(APPEND header "// (RT_MESSAGETABLE, name 1, language 1033). Do not edit.\n")
string(APPEND header "#pragma once\n\n")
string(APPEND header "const unsigned char c_rgbMessageTableResource[${byte_count}] = {\n${array}};\n")

set(ids "// Generated by MessageTable.cmake: the message identifiers of korvlog.exe. Do not edit.\n")
string(APPEND ids "#pragma once\n\n#include \"common/Platform.h\"\n\n${MESSAGE_CONSTANTS}")

# Written only when changed, so that an unchanged table rebuilds nothing.
file(MAKE_DIRECTORY ${OUTPUT_DIR}/include)
file(CONFIGURE OUTPUT ${OUTPUT_DIR}/MessageTable.rc CONTENT "${rc}" @ONLY)
file(CONFIGURE OUTPUT ${OUTPUT_DIR}/include/MessageTableResource.h CONTENT "${header}" @ONLY)
file(CONFIGURE OUTPUT ${OUTPUT_DIR}/include/MessageIds.h CONTENT "${ids}" @ONLY)
