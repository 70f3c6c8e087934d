# An image holding the static daemon alone, as /sockherd, for a service's
# own image to copy it from:
#
#   COPY --from=sockherd /sockherd /usr/bin/sockherd
#
# Nothing is fetched and nothing compiled here: the image takes the stripped
# daemon from a build on the host, so it builds offline and from any
# machine that can build the daemon. From the source tree:
#
#   cmake -S . -B build && cmake --build build -j2
#   podman build -t sockherd .
#   docker build -t sockherd -f Containerfile .
#
# .containerignore (and .dockerignore, the same file) keeps the build
# context to that one file. Another build directory named build*:
#   --build-arg SOCKHERD=build-other/stripped/sockherd

FROM scratch
ARG SOCKHERD=build/stripped/sockherd
COPY ${SOCKHERD} /sockherd
LABEL org.opencontainers.image.title="sockherd" \
      org.opencontainers.image.description="TCP super-server running one command per client" \
      org.opencontainers.image.licenses="ISC"
ENTRYPOINT ["/sockherd"]
