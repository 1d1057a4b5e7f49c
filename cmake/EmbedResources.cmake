# Embeds every BMP and PNG file of a folder into the program as a byte array, so the player
# carries its skin with it and needs no files beside the executable. The generated source
# defines vidora::embeddedResource(name), declared in platform/resources.h.
function(vidora_embed_resources out_var res_dir)
    file(GLOB res_files CONFIGURE_DEPENDS ${res_dir}/*.bmp ${res_dir}/*.png)
    set(out ${CMAKE_BINARY_DIR}/generated/embedded_resources.cpp)
    # A list cannot cross the command line as one argument; "|" stands for its separators.
    string(REPLACE ";" "|" files_arg "${res_files}")
    add_custom_command(
        OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -DOUT=${out} "-DFILES=${files_arg}"
                -P ${CMAKE_SOURCE_DIR}/cmake/GenerateResources.cmake
        DEPENDS ${res_files} ${CMAKE_SOURCE_DIR}/cmake/GenerateResources.cmake
        COMMENT "Embedding skin resources"
        VERBATIM)
    set(${out_var} ${out} PARENT_SCOPE)
endfunction()
