# Run by `cmake --install` after the gdk-pixbuf loader is in place: gdk-pixbuf finds its
# loaders through one cache, loaders.cache, which its own program rewrites. Only an
# install into the system's loader folder is seen there; a staged install (DESTDIR set,
# and so every package) runs nothing: dpkg's trigger of gdk-pixbuf rewrites the cache
# where the loader finally lands.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
set(folder "${CMAKE_INSTALL_PREFIX}/${zub_pixbuf_loader_dir}")
if(folder STREQUAL zub_system_pixbuf_loader_dir AND EXISTS "${zub_query_loaders}")
  message(STATUS "Running: ${zub_query_loaders} --update-cache")
  execute_process(COMMAND ${zub_query_loaders} --update-cache)
else()
  message(STATUS "gdk-pixbuf reads its loaders from ${zub_system_pixbuf_loader_dir}: the loader in ${folder} is found with GDK_PIXBUF_MODULE_FILE naming a cache that gdk-pixbuf-query-loaders writes of it")
endif()
