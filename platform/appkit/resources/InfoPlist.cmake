# Writes the application's information dictionary, which the foundation bundle reads from
# "Resources/Info.plist" beside the executable. Regenerated whenever the project is configured,
# so the version strings always follow project(VERSION ...).
set(QM_BUNDLE_IDENTIFIER "org.quillmere.Quillmere" CACHE STRING "Bundle identifier of the application")
# The application's name: the desktop entry's name and its window class take it too.
set(QM_BUNDLE_NAME "Quillmere")
set(QM_BUNDLE_VERSION "${PROJECT_VERSION}" CACHE STRING "Build version (CFBundleVersion) of the application")
# Where the newsletter and feedback windows send what the user asks them to. Empty, as they are
# by default, the windows say they are not set up and send nothing anywhere.
set(QM_NEWSLETTER_URL "" CACHE STRING
    "Address of the newsletter service (scheme, host, optional path); the window posts to its /subscribe")
set(QM_FEEDBACK_URL "" CACHE STRING "Full URL the feedback window posts its JSON reports to")
# The telemetry service's application secret. The application starts telemetry only when both it
# and the ingestion's base URL (QM_TELEMETRY_INGESTION_URL) are set; empty, as by default, nothing
# is recorded or sent.
set(QM_TELEMETRY_APP_SECRET "" CACHE STRING "Application secret the telemetry service issued for this application")
# Build folders configured while the feedback address had a placeholder default keep it in their
# cache; it names no service anyone set up, so it goes.
if(QM_FEEDBACK_URL STREQUAL "https://quillmere.org/feedback/submit")
  set(QM_FEEDBACK_URL "" CACHE STRING "Full URL the feedback window posts its JSON reports to" FORCE)
endif()

# `text` made safe inside an XML element: a URL's "&" would otherwise leave a malformed
# dictionary, and the bundle would lose every key with it.
function(qm_xml_escape out text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(qm_write_info_plist destination)
  foreach(setting QM_BUNDLE_IDENTIFIER QM_BUNDLE_NAME QM_BUNDLE_VERSION QM_NEWSLETTER_URL QM_FEEDBACK_URL
                  QM_TELEMETRY_INGESTION_URL QM_TELEMETRY_APP_SECRET)
    qm_xml_escape(${setting}_XML "${${setting}}")
  endforeach()
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/Info.plist.in" "${destination}" @ONLY)
endfunction()
