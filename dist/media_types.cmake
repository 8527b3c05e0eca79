# Fills in the desktop entry and the AppStream data with the media types of
# the extensions the built-in filters are registered for, looked up in
# shared-mime-info's glob list.  Run with cmake -P:
#   EXTENSIONS  file with one extension a line, without the dot (from the
#               program's own registrations)
#   GLOBS       shared-mime-info's globs2 file ("weight:type:glob[:flags]")
#   DESKTOP_IN, DESKTOP_OUT, METAINFO_IN, METAINFO_OUT
#   and the variables the templates name (PROJECT_VERSION, QUARN_SITE_URL,
#   QUARN_APPSTREAM_ID, QUARN_RELEASE_DATE).
cmake_minimum_required(VERSION 3.25)

file(STRINGS "${EXTENSIONS}" extensions)
if(NOT extensions)
  message(FATAL_ERROR "no registered extensions in ${EXTENSIONS}")
endif()

set(types)
if(EXISTS "${GLOBS}")
  # Index the globs of the simple form "*.ext": exact for case-sensitive
  # ones, folded to lower case for the others.
  file(STRINGS "${GLOBS}" lines REGEX "^[0-9]+:[^:]+:\\*\\.[^*?[]+(:.*)?$")
  foreach(line IN LISTS lines)
    string(REPLACE ":" ";" fields "${line}")
    list(GET fields 1 type)
    list(GET fields 2 glob)
    string(SUBSTRING "${glob}" 2 -1 ext)
    list(LENGTH fields n)
    set(case_sensitive FALSE)
    if(n GREATER 3)
      list(GET fields 3 flags)
      if(flags MATCHES "(^|,)cs(,|$)")
        set(case_sensitive TRUE)
      endif()
    endif()
    if(NOT case_sensitive)
      string(TOLOWER "${ext}" ext)
    endif()
    # CMake variable names take any character through string(MAKE_C_IDENTIFIER)
    # only lossily, so the extension is hex-encoded into the name.
    string(HEX "${ext}" key)
    list(APPEND "glob_${key}" "${type}")
  endforeach()
  foreach(ext IN LISTS extensions)
    string(HEX "${ext}" key)
    list(APPEND types ${glob_${key}})
  endforeach()
  list(REMOVE_DUPLICATES types)
  list(SORT types)
else()
  message(WARNING "${GLOBS} not found (shared-mime-info): the desktop entry lists no media types")
endif()

# A desktop entry's list is the CMake list itself, ending in ";".
set(QUARN_MIME_TYPES "")
if(types)
  set(QUARN_MIME_TYPES "${types};")
endif()
set(QUARN_MEDIATYPES_XML "")
foreach(type IN LISTS types)
  string(APPEND QUARN_MEDIATYPES_XML "    <mediatype>${type}</mediatype>\n")
endforeach()
string(REGEX REPLACE "\n$" "" QUARN_MEDIATYPES_XML "${QUARN_MEDIATYPES_XML}")

configure_file("${DESKTOP_IN}" "${DESKTOP_OUT}" @ONLY)
configure_file("${METAINFO_IN}" "${METAINFO_OUT}" @ONLY)
