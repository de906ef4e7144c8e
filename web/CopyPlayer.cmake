# Copies the player script from npm when web/node_modules has it. Run at build time, so a
# build folder configured before `npm ci` picks the player up at its next build.
if(EXISTS "${SRC}")
  file(COPY_FILE "${SRC}" "${DST}" ONLY_IF_DIFFERENT)
else()
  message(WARNING "web/node_modules is missing (scripts/install-deps.sh runs npm ci there): "
                  "the browser viewer is built without its player")
endif()
