# qm_protobuf_c(target proto): generates the C message code of the schema `proto` (an absolute
# path inside the source tree) with protoc-c at build time and compiles it into `target`. The
# generated files land under build/generated/ at the schema's own relative folder, so that code
# includes them as "folder/name.pb-c.h"; `target` links the protobuf-c runtime.

find_program(QM_PROTOC_C protoc-c REQUIRED)
pkg_check_modules(PROTOBUF_C REQUIRED IMPORTED_TARGET libprotobuf-c)

function(qm_protobuf_c target proto)
  get_filename_component(name ${proto} NAME_WE)
  get_filename_component(folder ${proto} DIRECTORY)
  file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${folder})
  set(out ${CMAKE_BINARY_DIR}/generated/${relative})
  add_custom_command(
    OUTPUT ${out}/${name}.pb-c.c ${out}/${name}.pb-c.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${QM_PROTOC_C} --c_out=${out} --proto_path=${folder} ${proto}
    DEPENDS ${proto}
    COMMENT "Generating C message code for ${relative}/${name}.proto"
    VERBATIM)
  target_sources(${target} PRIVATE ${out}/${name}.pb-c.c ${out}/${name}.pb-c.h)
  target_include_directories(${target} PUBLIC ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(${target} PUBLIC PkgConfig::PROTOBUF_C)
endfunction()
