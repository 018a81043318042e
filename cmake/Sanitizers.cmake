# ORU_SANITIZE=address,undefined or ORU_SANITIZE=thread instruments every target.
if(ORU_SANITIZE)
  set(_oru_san_flags -fsanitize=${ORU_SANITIZE} -fno-omit-frame-pointer -g)
  if(ORU_SANITIZE MATCHES "undefined")
    list(APPEND _oru_san_flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_oru_san_flags})
  add_link_options(-fsanitize=${ORU_SANITIZE})
endif()
