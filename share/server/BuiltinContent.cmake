# Built-in web content of the share server: BuiltinContent.cpp and the byte arrays that the
# build generates from resources/web. Included from share/server/portable.cmake.
include(${CMAKE_SOURCE_DIR}/cmake/embed.cmake)

# The upload component's four release files are not in the tree; a folder holding them can be
# named here. Without it (or when the sizes differ) our HTML5 stand-in is embedded instead.
set(WEXA_SWFUPLOAD_DIR "" CACHE PATH "Folder with the upload component's release files")
set(wexa_web ${CMAKE_SOURCE_DIR}/resources/web)
set(wexa_uploader_dir ${wexa_web}/uploader)
set(wexa_uploader_release 0)
if(WEXA_SWFUPLOAD_DIR)
  set(wexa_uploader_ok TRUE)
  foreach(pair "swfupload.js:38669" "swfupload.queue.js:3479" "swfupload.speed.js:12575"
               "swfupload.swf:12787")
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 file)
    list(GET pair 1 expected)
    set(size -1)
    if(EXISTS "${WEXA_SWFUPLOAD_DIR}/${file}")
      file(SIZE "${WEXA_SWFUPLOAD_DIR}/${file}" size)
    endif()
    if(NOT size EQUAL expected)
      message(WARNING "WEXA_SWFUPLOAD_DIR: ${file} is missing or not ${expected} bytes; "
                      "embedding the built-in stand-in instead")
      set(wexa_uploader_ok FALSE)
    endif()
  endforeach()
  if(wexa_uploader_ok)
    set(wexa_uploader_dir ${WEXA_SWFUPLOAD_DIR})
    set(wexa_uploader_release 1)
  endif()
endif()

wexa_embed_files(NAME WebAssetData OUT_DIR ${CMAKE_BINARY_DIR}/generated
  DEFINES "WEXA_WEB_RELEASE_UPLOADER=${wexa_uploader_release}"
  ENTRIES
    kWebDocIcon        ${wexa_web}/images/doc_icon.png
    kWebTxtIcon        ${wexa_web}/images/txt_icon.png
    kWebImgIcon        ${wexa_web}/images/img_icon.png
    kWebDirIcon        ${wexa_web}/images/dir_icon.png
    kWebUpIcon         ${wexa_web}/images/up_icon.png
    kWebZipIcon        ${wexa_web}/images/zip_icon.png
    kWebExeIcon        ${wexa_web}/images/exe_icon.png
    kWebFavicon        ${wexa_web}/images/favicon.ico
    kWebHandlersJs     ${wexa_web}/js/handlers.js
    kWebFileProgressJs ${wexa_web}/js/fileprogress.js
    kWebDefaultCss     ${wexa_web}/css/default.css
    kWebCancelButton   ${wexa_web}/images/cancelbutton.png
    kWebBrowseButton   ${wexa_web}/images/browse111x22.png
    kWebUploaderJs     ${wexa_uploader_dir}/swfupload.js
    kWebUploaderQueue  ${wexa_uploader_dir}/swfupload.queue.js
    kWebUploaderSpeed  ${wexa_uploader_dir}/swfupload.speed.js
    kWebUploaderSwf    ${wexa_uploader_dir}/swfupload.swf)

list(APPEND WEXA_PORTABLE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/BuiltinContent.cpp
     ${WebAssetData_SOURCE})
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/BuiltinContent.cpp PROPERTIES
  INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/generated)
