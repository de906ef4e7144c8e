#!/bin/sh
# Stands in for the port-mapping tool in tests and demos: records its command line instead
# of sending discovery onto the local network.
echo "upnpc-standin $*" >> "${VTCAM_PORT_MAPPER_LOG:-/tmp/vtcam-upnpc-standin.log}"
