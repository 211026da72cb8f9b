# Builds one Windows Installer package with wixl and then makes the changes
# that wixl 0.101 cannot express, with msibuild.  Any output of wixl fails the
# build: it reports what it ignores (an attribute it does not know, a wrong
# value) only as a warning and still exits with 0.
#
#   cmake -DWIXL=... -DMSIBUILD=... -DMSIINFO=... -DSOURCE=qelsvc.wxs
#         -DOUTPUT=pkg.msi -DARCH=x86|x64 -DVERSION=a.b.c.d -DPRODUCT_CODE=GUID
#         -DPROGRAM=qelsvc.exe -DGUIDE=qelsvc-guide.txt -DZIP_NAME=... -P build-msi.cmake

foreach(name WIXL MSIBUILD MSIINFO SOURCE OUTPUT ARCH VERSION PRODUCT_CODE PROGRAM GUIDE ZIP_NAME)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "build-msi.cmake: ${name} not given")
  endif()
endforeach()

set(work ${OUTPUT}.part)
file(REMOVE ${OUTPUT} ${work})
# wixl looks for a file named by an absolute path under its working folder
# all the same: it is given the files relative to that folder.
get_filename_component(work_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${work_dir})
file(RELATIVE_PATH program ${work_dir} ${PROGRAM})
file(RELATIVE_PATH guide ${work_dir} ${GUIDE})
execute_process(
  COMMAND ${WIXL} -a ${ARCH} -o ${work}
          -D Arch=${ARCH} -D Version=${VERSION} -D ProductCode=${PRODUCT_CODE}
          -D Program=${program} -D Guide=${guide} -D ZipName=${ZIP_NAME}
          ${SOURCE}
  WORKING_DIRECTORY ${work_dir}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(STRIP "${out}" out)
if(NOT status EQUAL 0 OR NOT out STREQUAL "" OR NOT EXISTS ${work})
  file(REMOVE ${work})
  message(FATAL_ERROR "wixl failed or warned (exit status ${status}) building ${OUTPUT}:\n${out}")
endif()

function(msi_query query)
  execute_process(COMMAND ${MSIBUILD} ${work} -q "${query}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(STRIP "${out}" out)
  if(NOT status EQUAL 0 OR NOT out STREQUAL "")
    file(REMOVE ${work})
    message(FATAL_ERROR "msibuild failed on ${OUTPUT}: ${query}\n${out}")
  endif()
endfunction()

# The event-log source's message file is REG_EXPAND_SZ, as qelsvc -i writes
# it: in the Registry table that is a value starting with "#%", which wixl
# neither writes for Type="expandable" nor lets through in a plain string.
msi_query("UPDATE Registry SET Value = '#%[#qelsvc.exe]' WHERE Name = 'EventMessageFile'")

# The row that finds the product to replace must include its upper bound (the
# same version, as Windows Installer compares it), which wixl leaves out.
# Attributes is part of the table's key, so the row is written anew.
execute_process(COMMAND ${MSIINFO} export ${work} Upgrade RESULT_VARIABLE status OUTPUT_VARIABLE upgrade_table)
string(REPLACE "\r" "" upgrade_table "${upgrade_table}")
string(REGEX MATCH "\n([^\t\n]*)\t([^\t\n]*)\t([^\t\n]*)\t([^\t\n]*)\t([0-9]+)\t([^\t\n]*)\tQEL_OLDER_FOUND" row "${upgrade_table}")
if(NOT status EQUAL 0 OR row STREQUAL "")
  file(REMOVE ${work})
  message(FATAL_ERROR "${OUTPUT}: no Upgrade row for QEL_OLDER_FOUND:\n${upgrade_table}")
endif()
set(upgrade_code "${CMAKE_MATCH_1}")
set(version_min "${CMAKE_MATCH_2}")
set(version_max "${CMAKE_MATCH_3}")
set(attributes "${CMAKE_MATCH_5}")
math(EXPR inclusive "${attributes} | 512")  # msidbUpgradeAttributesVersionMaxInclusive
msi_query("DELETE FROM Upgrade WHERE ActionProperty = 'QEL_OLDER_FOUND'")
msi_query("INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('${upgrade_code}', '${version_min}', '${version_max}', ${inclusive}, 'QEL_OLDER_FOUND')")

file(RENAME ${work} ${OUTPUT})
