<?xml version="1.0" encoding="UTF-8"?>
<!-- SPDX-License-Identifier: MIT -->
<!-- What the benchmark asks of xsltproc: copy the document, adding $add to every
     attribute named $attribute whose value lies strictly between $above and $below.
     xsltproc -param attribute "'lat'" -param add 0.5 [-param above 0 -param below 45] -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:param name="attribute" select="'lat'"/>
  <xsl:param name="add" select="0.5"/>
  <xsl:param name="above" select="-1 div 0"/>
  <xsl:param name="below" select="1 div 0"/>

  <xsl:template match="@*|node()">
    <xsl:copy>
      <xsl:apply-templates select="@*|node()"/>
    </xsl:copy>
  </xsl:template>

  <xsl:template match="@*">
    <xsl:choose>
      <xsl:when test="name() = $attribute and . &gt; $above and . &lt; $below">
        <xsl:attribute name="{name()}">
          <xsl:value-of select=". + $add"/>
        </xsl:attribute>
      </xsl:when>
      <xsl:otherwise>
        <xsl:copy/>
      </xsl:otherwise>
    </xsl:choose>
  </xsl:template>
</xsl:stylesheet>
